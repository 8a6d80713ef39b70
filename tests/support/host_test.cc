#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/hostapp/safe_library.h"
#include "support/modOutlookCode.h"
#include "support/modSafeItem.h"
#include "support_env.h"

namespace stow {
namespace {

using modOutlookCode::GetVersion;
using testing::SupportEnv;

TEST(GetVersion, ReadsTheMajorNumberOnceAndCachesItButNotAFailure) {
  SupportEnv env;
  auto& host = env.StartHost("14.0.0.4760");
  EXPECT_EQ(GetVersion(), 14);
  host.SetVersion("12.0.6423");
  EXPECT_EQ(GetVersion(), 14);
  EXPECT_EQ(modGlobal::intOutlookVersion, 14);
  EXPECT_TRUE(env.ui.Shows().empty());

  // A version without a dot fails and is read again next time.
  modGlobal::intOutlookVersion = 0;
  host.SetVersion("14");
  auto& reports = env.Reports();
  EXPECT_EQ(GetVersion(), 0);
  EXPECT_EQ(modGlobal::intOutlookVersion, 0);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_NE(reports[0].find("In Function: GetVersion\r\n"), std::string::npos) << reports[0];
  host.SetVersion("abc.1");  // not a number before the dot
  EXPECT_EQ(GetVersion(), 0);
  host.SetVersion("11.0.8");
  EXPECT_EQ(GetVersion(), 11);
}

TEST(StartOutlook, CreatesTheHostByTheNumberedIdentifiersInOrderAndLeavesARunningOne) {
  SupportEnv env;
  auto store = std::make_shared<mem::MemoryStore>();
  auto host = std::make_shared<hostapp::HostApplication>(store, "12.0.1", nullptr, &env.factory);
  env.factory.Register("Outlook.Application.12", [&] { return host; });
  env.factory.Register("Outlook.Application.11", [&] { return host; });
  int inbox = om::olFolderInbox;
  modOutlookCode::subStartOutlook(inbox);
  EXPECT_EQ(modGlobal::objOutlook, host);
  EXPECT_EQ(modGlobal::objNameSpace, store);
  EXPECT_EQ(env.factory.CreateCount("Outlook.Application"), 1);
  EXPECT_EQ(env.factory.CreateCount("Outlook.Application.14"), 1);
  EXPECT_EQ(env.factory.CreateCount("Outlook.Application.12"), 1);
  EXPECT_EQ(env.factory.CreateCount("Outlook.Application.11"), 0);
  // A host without a window gets an explorer on the asked folder.
  ASSERT_EQ(host->ExplorerList().size(), 1u);
  EXPECT_EQ(host->ExplorerList()[0]->CurrentFolder()->Name(), "Inbox");
  EXPECT_TRUE(env.ui.MessageBoxes().empty());
  // A running host with a window is left as it is.
  int calendar = om::olFolderCalendar;
  modOutlookCode::subStartOutlook(calendar);
  EXPECT_EQ(host->ExplorerList().size(), 1u);
  EXPECT_EQ(modGlobal::objNameSpace, store);
  EXPECT_EQ(env.factory.CreateCount("Outlook.Application"), 1);
}

TEST(StartOutlook, NoHostAtAllGivesBothMessagesAndAnOldOneIsRefused) {
  SupportEnv env;
  int inbox = om::olFolderInbox;
  modOutlookCode::subStartOutlook(inbox);
  EXPECT_FALSE(modGlobal::objOutlook);
  const auto& boxes = env.ui.MessageBoxes();
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[0].prompt, "Error trying to start Outlook!");
  EXPECT_EQ(boxes[0].style, ui::vbOKOnly);
  EXPECT_EQ(boxes[0].title, "");
  EXPECT_EQ(boxes[1].prompt.rfind("Outlook 2003 or later required to use this application!\r\n429 "
                                  "ActiveX component can't create object\r\n",
                                  0),
            0u)
      << boxes[1].prompt;
  EXPECT_EQ(boxes[1].style, ui::vbCritical);
  EXPECT_EQ(boxes[1].title, "Stowbright for Outlook");
  EXPECT_EQ(env.factory.CreateCount("Outlook.Application"), 2);
  EXPECT_EQ(env.factory.CreateCount("Outlook.Application.9"), 1);

  // An old host is refused.
  auto store = std::make_shared<mem::MemoryStore>();
  auto host = std::make_shared<hostapp::HostApplication>(store, "10.0.1", nullptr, &env.factory);
  env.factory.Register("Outlook.Application", [&] { return host; });
  modOutlookCode::subStartOutlook(inbox);
  ASSERT_EQ(env.ui.MessageBoxes().size(), 3u);
  EXPECT_EQ(env.ui.MessageBoxes()[2].prompt,
            "Outlook 2003 or later required to use this application!\r\n10");
}

TEST(CheckOutlookAccess, HostWithoutWindowsGetsAShownCalendarExplorer) {
  SupportEnv env;
  auto& host = env.StartHost();
  int calendar = om::olFolderCalendar;
  modOutlookCode::subCheckOutlookAccess(calendar);
  ASSERT_EQ(host.ExplorerList().size(), 1u);
  EXPECT_EQ(host.ExplorerList()[0]->CurrentFolder()->Name(), "Calendar");
  EXPECT_TRUE(host.ExplorerList()[0]->Visible());
  EXPECT_TRUE(env.ui.MessageBoxes().empty());
}

TEST(CheckOutlookAccess, AFailureIsExplained) {
  SupportEnv env;
  env.StartHost();
  env.store->faults().FailGetDefaultFolder(om::olFolderCalendar, errnum::kAccessDenied);
  int calendar = om::olFolderCalendar;
  modOutlookCode::subCheckOutlookAccess(calendar);
  ASSERT_EQ(env.ui.MessageBoxes().size(), 1u);
  const auto& box = env.ui.MessageBoxes()[0];
  EXPECT_EQ(box.prompt.rfind("Can't access Outlook API!\r\nNot adequate permission over the "
                             "folder/items!\r\n" +
                                 std::to_string(errnum::kAccessDenied) + "\r\n",
                             0),
            0u)
      << box.prompt;
  EXPECT_EQ(box.style, ui::vbCritical);
  EXPECT_EQ(box.title, "Stowbright for Outlook");
}

TEST(SafeLibrary, AMissingLibraryIsToldOncePerProcess) {
  SupportEnv env;
  EXPECT_FALSE(modSafeItem::GetSafeUtils());
  EXPECT_FALSE(modSafeItem::GetSafeUtils());
  hostapp::RegisterSafeLibrary(env.factory);  // appearing later changes nothing
  EXPECT_FALSE(modSafeItem::GetSafeUtils());
  ASSERT_EQ(env.ui.MessageBoxes().size(), 1u);
  const auto& box = env.ui.MessageBoxes()[0];
  EXPECT_EQ(box.prompt,
            "A library file is missing!\r\nPlease re-install the application using the setup.exe");
  EXPECT_EQ(box.style, ui::vbCritical);
  EXPECT_EQ(box.title, "Stowbright for Outlook");
  EXPECT_EQ(env.factory.CreateCount("QLXLib.QLXMAPIUtils"), 1);
}

TEST(SafeLibrary, UtilityObjectIsAuthorisedKeptAndCleanedUp) {
  SupportEnv env;
  hostapp::RegisterSafeLibrary(env.factory);
  ASSERT_TRUE(modSafeItem::GetSafeUtils());
  auto utils = std::dynamic_pointer_cast<hostapp::SafeUtilsImpl>(modGlobal::objSafeUtils);
  ASSERT_TRUE(utils);
  EXPECT_TRUE(utils->Authorised());
  EXPECT_TRUE(modSafeItem::GetSafeUtils());
  EXPECT_EQ(env.factory.CreateCount("QLXLib.QLXMAPIUtils"), 1);
  modSafeItem::CleanupSafeUtils();
  EXPECT_EQ(utils->CleanupCount(), 1);
  EXPECT_FALSE(modGlobal::objSafeUtils);
  modSafeItem::CleanupSafeUtils();  // nothing left: nothing happens
  EXPECT_TRUE(modSafeItem::GetSafeUtils());
  EXPECT_EQ(env.factory.CreateCount("QLXLib.QLXMAPIUtils"), 2);
}

// The rules of the mapping (any case, a prefix, the OLE class name, no wrapper);
// not the table of class names itself.
TEST(SafeLibrary, WrapperClassByMessageClass) {
  using modSafeItem::SafeItemClassFor;
  EXPECT_EQ(SafeItemClassFor("IPM.Note"), "QLXLib.QLXMailItem");
  EXPECT_EQ(SafeItemClassFor("ipm.note.smime.multipartsigned"), "QLXLib.QLXMailItem");
  EXPECT_EQ(SafeItemClassFor("REPORT.IPM.Note.NDR"), "QLXLib.QLXMailItem");
  EXPECT_EQ(SafeItemClassFor("IPM.Post"), "QLXLib.QLXPostItem");
  EXPECT_EQ(SafeItemClassFor("IPM.OLE.CLASS.{00061055-0000-0000-C000-000000000046}"),
            "QLXLib.QLXAppointmentItem");
  EXPECT_EQ(SafeItemClassFor("IPM.Activity"), "");
  EXPECT_EQ(SafeItemClassFor(""), "");
}

// Records the order in which the wrapper is set up.
class RecordingSafeItem : public hostapp::SafeItemImpl {
 public:
  explicit RecordingSafeItem(std::vector<std::string>* calls) : calls_(calls) {}
  void SetAuthKey(const std::string& key) override {
    calls_->push_back("AuthKey=" + key);
    SafeItemImpl::SetAuthKey(key);
  }
  void SetItem(const std::shared_ptr<om::Item>& item) override {
    calls_->push_back("Item");
    SafeItemImpl::SetItem(item);
  }

 private:
  std::vector<std::string>* calls_;
};

TEST(SafeLibrary, WrapperIsAuthorisedAroundTheItem) {
  SupportEnv env;
  env.StartHost();
  std::vector<std::string> calls;
  env.factory.Register("QLXLib.QLXMailItem",
                       [&] { return std::make_shared<RecordingSafeItem>(&calls); });
  mem::MailSpec mailSpec;
  mailSpec.htmlBody = "<p>hi</p>";
  auto item = env.store->AddMail(env.store->GetDefaultFolder(om::olFolderInbox), mailSpec);
  auto safe = modSafeItem::GetSafeItem(item);
  ASSERT_TRUE(safe);
  std::string key = platform::kSafeLibraryAuthKey;
  EXPECT_EQ(calls, (std::vector<std::string>{"AuthKey=" + key, "Item", "AuthKey=" + key}));
  EXPECT_EQ(safe->HTMLBody(), "<p>hi</p>");

  EXPECT_FALSE(modSafeItem::GetSafeItem(nullptr));
  mailSpec.messageClass = "IPM.StickyNote";
  EXPECT_FALSE(modSafeItem::GetSafeItem(
      env.store->AddMail(env.store->GetDefaultFolder(om::olFolderInbox), mailSpec)));
  env.factory.FailCreation("QLXLib.QLXMailItem");
  EXPECT_FALSE(modSafeItem::GetSafeItem(item));
  EXPECT_TRUE(env.ui.MessageBoxes().empty());
  EXPECT_TRUE(env.ui.Shows().empty());
}

}  // namespace
}  // namespace stow
