#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include "common/regex.h"

#include "support/frmErrorReport.h"
#include "support/modErroHandling.h"
#include "support/product.h"
#include "support_env.h"

namespace stow {
namespace {

using modErroHandling::HandleError;
using testing::SupportEnv;

ui::TextBox& Report(ui::Form& f) {
  return *f.Find<ui::TextBox>("txtReport");
}
ui::CommandButton& Button(ui::Form& f, const std::string& name) {
  return *f.Find<ui::CommandButton>(name);
}

// The mails in Drafts (where a saved new mail goes), as (to, subject, body).
std::vector<std::array<std::string, 3>> DraftMails(mem::MemoryStore& store) {
  std::vector<std::array<std::string, 3>> mails;
  auto items = store.GetDefaultFolder(om::olFolderDrafts)->Items();
  for (std::int64_t i = 1; i <= items->Count(); ++i) {
    auto item = items->Item(i);
    mails.push_back({item->To(), item->Subject(), item->Body()});
  }
  return mails;
}

TEST(HandleError, ReportTextHasSixLinesInOrderAndTheVersionThreePlainNumbers) {
  SupportEnv env;
  env.StartHost("14.0.0.4760");
  std::string report, application, build, caption;
  env.ui.OnModal("frmErrorReport", [&](ui::Form& f) {
    report = Report(f).Text;
    application = f.Find<ui::Label>("lblApplication")->Caption;
    build = f.Find<ui::Label>("lblBuild")->Caption;
    caption = f.Caption;
    Button(f, "cmdCancel").PerformClick();
  });
  HandleError("Automation error", -2147221504, 0, "mMain.ProcessEmail", "Outlook");
  EXPECT_EQ(report,
            "In Outlook version: 14.0.0.4760\r\n"
            "At Line: 0\r\n"
            "In Function: mMain.ProcessEmail\r\n"
            "Source: Outlook\r\n"
            "Exception Number: -2147221504\r\n"
            "Exception Description: Automation error\r\n");
  EXPECT_EQ(caption, "Unknown Exception");
  EXPECT_EQ(application, "Stowbright for Outlook");
  std::string v = modErroHandling::GetAppVersion();
  EXPECT_EQ(build, "Build " + v);
  EXPECT_TRUE(
      std::regex_match(v, std::regex("(0|[1-9][0-9]*)\\.(0|[1-9][0-9]*)\\.(0|[1-9][0-9]*)")))
      << v;
  EXPECT_TRUE(DraftMails(*env.store).empty()) << "Cancel sends nothing";
}

TEST(HandleError, ShownOnceEvenAfterTheFormClosed) {
  SupportEnv env;
  env.StartHost();
  int shown = 0;
  env.ui.OnModal("frmErrorReport", [&](ui::Form& f) {
    ++shown;
    f.Unload();
  });
  HandleError("first", 5, 10, "A.First");
  EXPECT_EQ(shown, 1);
  EXPECT_TRUE(modErroHandling::ReportShown());
  HandleError("second", 6, 11, "A.Second");
  EXPECT_EQ(Trap("A.Third", 42, []() -> int { Raise(9, "x", "third"); }), 42);
  EXPECT_EQ(shown, 1);
  EXPECT_EQ(env.ui.Shows().size(), 1u);
}

TEST(HandleError, TrapReportsComErrorsAndLibraryExceptions) {
  SupportEnv env;
  env.StartHost();
  std::string report;
  env.ui.OnModal("frmErrorReport", [&](ui::Form& f) {
    report = Report(f).Text;
    f.Unload();
  });
  bool ok = Trap("Toolbar.AttachFiles", [] { throw std::runtime_error("disk on fire"); });
  EXPECT_FALSE(ok);
  EXPECT_NE(report.find("In Function: Toolbar.AttachFiles\r\n"), std::string::npos);
  EXPECT_NE(report.find("Exception Number: " + std::to_string(errnum::kFail) + "\r\n"),
            std::string::npos);
  EXPECT_NE(report.find("Exception Description: disk on fire\r\n"), std::string::npos);

  modGlobal::blnErrorReportShown = false;
  int line = 0;
  std::string text = Trap<std::string>("mMain.GetAttachmentName", "neutral", [&]() -> std::string {
    line = __LINE__ + 1;
    Raise(errnum::kPathNotFound, "Scripting.FileSystemObject", "Path not found");
  });
  EXPECT_EQ(text, "neutral");
  EXPECT_NE(report.find("At Line: " + std::to_string(line) + "\r\n"), std::string::npos) << report;
  EXPECT_NE(report.find("Source: Scripting.FileSystemObject\r\n"), std::string::npos);
  EXPECT_NE(report.find("Exception Number: 76\r\n"), std::string::npos);

  EXPECT_TRUE(Trap("fine", [] {}));
  EXPECT_EQ(Trap("fine", 0, [] { return 3; }), 3);
}

TEST(HandleError, StartsTheHostWhenNoneIsThere) {
  SupportEnv env;
  auto store = std::make_shared<mem::MemoryStore>();
  auto host = std::make_shared<hostapp::HostApplication>(store, "12.0.6423", nullptr, &env.factory);
  host->OpenExplorer(store->GetDefaultFolder(om::olFolderInbox));
  env.factory.Register("Outlook.Application", [&] { return host; });
  std::string report;
  env.ui.OnModal("frmErrorReport", [&](ui::Form& f) { report = Report(f).Text; });
  HandleError("d", 1, 2, "L");
  EXPECT_EQ(modGlobal::objOutlook, host);
  EXPECT_EQ(report.substr(0, report.find("\r\n")), "In Outlook version: 12.0.6423");
}

TEST(HandleError, WithoutAToolkitNothingIsShownAndNothingThrows) {
  SupportEnv env;
  env.StartHost();
  platform::ScopedServices noUi(platform::Services{.shell = &env.shell, .factory = &env.factory});
  EXPECT_NO_THROW(HandleError("d", 1, 2, "L"));
  EXPECT_TRUE(modErroHandling::ReportShown());
}

TEST(ErrorReportForm, ViewReportTogglesTheHeightClickHereOpensThePolicyAndOpenEmailMails) {
  SupportEnv env;
  env.StartHost();
  std::vector<std::pair<double, std::string>> states;
  bool loadedAfterClick = true;
  env.ui.OnModal("frmErrorReport", [&](ui::Form& f) {
    auto& view = Button(f, "cmdViewReport");
    for (int i = 0; i < 3; ++i) {
      states.emplace_back(f.Height, view.Caption);
      view.PerformClick();
    }
    f.Find<ui::Label>("lblClickHere")->Click.Raise();
    Report(f).SetText("edited by the user");
    Button(f, "cmdOpenEmail").PerformClick();
    loadedAfterClick = f.Loaded();
  });
  HandleError("d", 1, 2, "L");
  EXPECT_EQ(env.ws->Commands(), std::vector<std::string>{product::kErrorPolicyPage});
  ASSERT_EQ(states.size(), 3u);
  EXPECT_EQ(states[0], std::make_pair(3150.0, std::string("View Report")));
  EXPECT_EQ(states[1], std::make_pair(5535.0, std::string("Hide Report")));
  EXPECT_EQ(states[2], std::make_pair(3150.0, std::string("View Report")));
  EXPECT_FALSE(loadedAfterClick);
  auto mails = DraftMails(*env.store);
  ASSERT_EQ(mails.size(), 1u);
  EXPECT_EQ(mails[0][0], product::kErrorReportMailbox);
  EXPECT_EQ(mails[0][1],
            "Exception (" + modErroHandling::GetAppVersion() + ") : Stowbright for Outlook");
  EXPECT_EQ(mails[0][2], "edited by the user");
}

TEST(SendErrorReport, FailuresAreIgnored) {
  SupportEnv env;
  // No host at all, then a host that cannot create mail, then one whose save fails.
  EXPECT_NO_THROW(modErroHandling::SendErrorReport("r"));
  env.store = std::make_shared<mem::MemoryStore>();
  env.host = std::make_shared<hostapp::HostApplication>(env.store, "14.0");
  modGlobal::objOutlook = env.host;
  EXPECT_NO_THROW(modErroHandling::SendErrorReport("r"));
  env.StartHost();
  env.store->faults().FailSave("", errnum::kFail, -1);
  EXPECT_NO_THROW(modErroHandling::SendErrorReport("r"));
  EXPECT_TRUE(DraftMails(*env.store).empty());
  EXPECT_TRUE(env.ui.MessageBoxes().empty());
  EXPECT_TRUE(env.ui.Shows().empty());
}

}  // namespace
}  // namespace stow
