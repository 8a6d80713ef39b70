// The add-in's life in a host: connection, start-up, window tracking, shut-down.

#include <chrono>
#include <string>

#include "common/addin_environment.h"
#include "engine/processEmail.h"
#include "engine/userProperties.h"
#include "host/RozozizeraRoreravo.h"
#include "host/modMain.h"
#include "platform/ui.h"
#include "support/attachmentFolders.h"
#include "support/cSettings.h"
#include "support/modErroHandling.h"
#include "support/modGlobal.h"
#include "surfaces/cAttachFilesTB.h"
#include "surfaces/cStandardTB.h"
#include "surfaces/trackers.h"

namespace stow::testing {
namespace {

using namespace modGlobal;

class LifecycleTest : public AddinTest {
 protected:
  void SetUp() override {
    // A host that has not loaded the add-in yet.
    modGlobal::ResetForTests();
  }
  void TearDown() override { env.loop.Advance(std::chrono::seconds(1)); }

  void Connect(RozozizeraRoreravo& addin) {
    addin.AddinInstance_OnConnection(env.hostPtr(), 0, nullptr, Value());
  }
  void Start(RozozizeraRoreravo& addin) {
    Connect(addin);
    addin.AddinInstance_OnStartupComplete(Value());
  }
  void ExpectAllReleased() {
    EXPECT_EQ(objOutlook, nullptr);
    EXPECT_EQ(objNameSpace, nullptr);
    EXPECT_EQ(objSettings, nullptr);
    EXPECT_EQ(objFSO, nullptr);
    EXPECT_EQ(objExplorersEvent, nullptr);
    EXPECT_EQ(objInspectors, nullptr);
    EXPECT_EQ(colExplorers, nullptr);
    EXPECT_EQ(objSafeUtils, nullptr);
  }
  // Stores the settings the add-in will read when it connects.
  void Store(const std::string& name, const std::string& text) { env.SetSetting(name, text); }
};

TEST_F(LifecycleTest, ConnectStartAndShutDownInTheHostsOrder) {
  env.OpenExplorer();
  Store("EmailFolders", env.Inbox()->FolderPath());
  Store("SentItemsOption", "0");
  Store("StartUpItemMonitoredFolders", "0");
  Store("StartUpSentItems", "0");
  env.UseAttachmentFolder(env.MakeFolder("att"));
  RozozizeraRoreravo addin;
  Connect(addin);
  EXPECT_EQ(objOutlook, env.hostPtr());
  ASSERT_NE(objSettings, nullptr);
  EXPECT_EQ(objSettings->SentItemsOption, 0);
  EXPECT_NE(objFSO, nullptr);
  // Connected without start-up complete, it tracks and monitors nothing.
  EXPECT_EQ(objExplorersEvent, nullptr);
  EXPECT_EQ(colExplorers, nullptr);
  EXPECT_EQ(colMonitoredFolders, nullptr);
  auto item = env.mem().Deliver(env.Inbox(), {.subject = "new", .attachments = {{"a.pdf", "a"}}});
  EXPECT_FALSE(Processed(item));

  addin.AddinInstance_OnStartupComplete(Value());
  EXPECT_NE(objSafeUtils, nullptr);
  ASSERT_NE(objExplorersEvent, nullptr);
  ASSERT_NE(objInspectors, nullptr);
  ASSERT_NE(colExplorers, nullptr);
  EXPECT_EQ(colExplorers->Count(), 1);
  EXPECT_TRUE(colExplorers->Contains("1EXPLORER"));
  ASSERT_NE(colMonitoredFolders, nullptr);
  EXPECT_EQ(colMonitoredFolders->Count(), 1);
  EXPECT_NE(oMonitoredSentItems, nullptr);
  EXPECT_EQ(env.host().ExplorerList().size(), 1u);

  addin.AddinInstance_OnBeginShutdown(Value());
  ExpectAllReleased();
  addin.AddinInstance_OnDisconnection(0, Value());
  addin.AddinInstance_Terminate();
  ExpectAllReleased();
  // The monitors are not among what shut-down releases: they go with the add-in.
  EXPECT_NE(colMonitoredFolders, nullptr);
  EXPECT_NE(oMonitoredSentItems, nullptr);
  EXPECT_TRUE(env.ui.MessageBoxes().empty());
  EXPECT_FALSE(modErroHandling::ReportShown());
}

TEST_F(LifecycleTest, MonitorsFollowTheSettingsAndAHostWithoutWindowGetsACalendarWithoutBar) {
  Store("EmailFolders", "");
  Store("SentItemsOption", "2");
  {
    RozozizeraRoreravo addin;
    Start(addin);
    EXPECT_EQ(colMonitoredFolders, nullptr);
    EXPECT_EQ(oMonitoredSentItems, nullptr);
    auto explorers = env.host().ExplorerList();
    ASSERT_EQ(explorers.size(), 1u);
    EXPECT_TRUE(explorers[0]->Visible());
    EXPECT_EQ(explorers[0]->CurrentFolder()->DefaultItemType(), om::olAppointmentItem);
    ASSERT_EQ(colExplorers->Count(), 1);
    EXPECT_EQ(colExplorers->Item(1)->CommandBar(), nullptr);
    EXPECT_EQ(strCurrentAttachmentFolder, "");
  }
  ExpectAllReleased();
  Store("SentItemsOption", "1");
  Store("StartUpSentItems", "0");
  RozozizeraRoreravo addin;
  Start(addin);
  EXPECT_EQ(colMonitoredFolders, nullptr);
  EXPECT_NE(oMonitoredSentItems, nullptr);
}

TEST_F(LifecycleTest, FolderSwitchRebuildsTheBarOnlyForMailAndPostFolders) {
  std::string att = env.MakeFolder("inbox-att");
  WriteAttachmentFolderPathToRegistry(env.Inbox()->FolderPath(), att);
  auto explorer = env.OpenExplorer();
  RozozizeraRoreravo addin;
  Start(addin);
  auto wrapper = colExplorers->Item(1);
  ASSERT_NE(wrapper->CommandBar(), nullptr);
  EXPECT_EQ(wrapper->CommandBar()->UniqueAttachmentFolderPath, att);
  EXPECT_EQ(strCurrentAttachmentFolder, att);

  explorer->SelectFolder(env.store().GetDefaultFolder(om::olFolderCalendar));
  EXPECT_EQ(wrapper->CommandBar(), nullptr);
  EXPECT_EQ(strCurrentAttachmentFolder, "");

  explorer->SelectFolder(env.store().GetDefaultFolder(om::olFolderSentMail));
  ASSERT_NE(wrapper->CommandBar(), nullptr);
  EXPECT_EQ(strCurrentAttachmentFolder, "");
  explorer->SelectFolder(env.Inbox());
  EXPECT_EQ(strCurrentAttachmentFolder, att);
}

TEST_F(LifecycleTest, ExplorerKeysStayUniqueWhenExplorersCloseAndOpen) {
  auto first = env.OpenExplorer();
  RozozizeraRoreravo addin;
  Start(addin);
  auto second = env.OpenExplorer();
  EXPECT_TRUE(colExplorers->Contains("2EXPLORER"));
  env.host().CloseWindow(first);
  EXPECT_FALSE(colExplorers->Contains("1EXPLORER"));
  ASSERT_NE(objExplorersEvent, nullptr);
  auto third = env.OpenExplorer();
  ASSERT_EQ(colExplorers->Count(), 2);
  EXPECT_TRUE(colExplorers->Contains("2EXPLORER"));
  EXPECT_TRUE(colExplorers->Contains("3EXPLORER"));

  // Closing the third takes its own wrapper only; the second is still followed.
  env.host().CloseWindow(third);
  ASSERT_EQ(colExplorers->Count(), 1);
  auto wrapper = colExplorers->Item(1);
  EXPECT_EQ(wrapper->oueCurrExplorer(), second);
  env.host().SetActiveWindow(second);
  second->SelectFolder(env.store().GetDefaultFolder(om::olFolderCalendar));
  EXPECT_EQ(wrapper->CommandBar(), nullptr);
}

TEST_F(LifecycleTest, LastExplorerClosingEvenWithAnInspectorOpenOrTheHostQuittingReleasesAll) {
  auto item = env.AddMail({.subject = "s", .htmlBody = "<p>x</p>"});
  auto explorer = env.OpenExplorer();
  {
    RozozizeraRoreravo addin;
    Start(addin);
    env.OpenInspector(item);
    ASSERT_EQ(objInspectors->colInspectorsTB->Count(), 1);
    env.host().CloseWindow(explorer);
    ExpectAllReleased();
  }
  env.OpenExplorer();
  env.OpenExplorer();
  RozozizeraRoreravo addin;
  Start(addin);
  ASSERT_NE(objOutlook, nullptr);
  env.host().Quit();
  ExpectAllReleased();
}

TEST_F(LifecycleTest, ReadInspectorsGetABarPerItemAndLoseItOnClose) {
  auto item = env.AddMail({.subject = "read", .htmlBody = "<p>x</p>"});
  auto meeting = env.AddMail({.messageClass = "IPM.Schedule.Meeting.Request", .subject = "m"});
  env.OpenExplorer();
  RozozizeraRoreravo addin;
  Start(addin);
  auto& bars = *objInspectors->colInspectorsTB;
  auto one = env.OpenInspector(item);
  ASSERT_EQ(bars.Count(), 1);
  auto firstBar = bars.Item(item->EntryID());
  auto two = env.OpenInspector(item);
  ASSERT_EQ(bars.Count(), 1);
  EXPECT_NE(bars.Item(item->EntryID()), firstBar);
  env.OpenInspector(meeting);
  EXPECT_EQ(bars.Count(), 1);
  env.host().CloseWindow(two);
  EXPECT_EQ(bars.Count(), 0);
}

TEST_F(LifecycleTest, RepliesToProcessedMailCarryTheRecordsOthersGetNoComposeBar) {
  env.UseAttachmentFolder(env.MakeFolder("att"));
  auto original = env.AddMail({.subject = "orig",
                               .htmlBody = "<html><body>x</body></html>",
                               .conversationIndex = "idx-1",
                               .conversationTopic = "topic",
                               .attachments = {{"a.pdf", "a"}}});
  ProcessEmail(original, true, "", false);
  original = env.Reload(original);
  auto plain = env.AddMail({.subject = "plain",
                            .htmlBody = "<p>y</p>",
                            .conversationIndex = "idx-2",
                            .conversationTopic = "topic2"});
  env.OpenExplorer(nullptr, {original});
  RozozizeraRoreravo addin;
  Start(addin);
  auto& compose = *objInspectors->colInspectorsComposeTB;

  auto newMail = env.OpenInspector(env.mem().CreateMailItem());
  EXPECT_EQ(compose.Count(), 0);
  env.host().CloseWindow(newMail);

  auto reply = original->Reply();
  auto replyWindow = env.OpenInspector(reply);
  ASSERT_EQ(compose.Count(), 1);
  auto bar = compose.Item(1);
  EXPECT_GE(bar->ID, 111111111);
  EXPECT_LE(bar->ID, 999999999);
  EXPECT_TRUE(compose.Contains(std::to_string(bar->ID)));
  EXPECT_EQ(bar->strConversationIndex, reply->ConversationIndex());
  std::string records =
      ToText(GetUserDefinedFieldValue(original, kRecordsProperty, FieldKind::kText, std::string()));
  ASSERT_FALSE(records.empty());
  EXPECT_EQ(bar->strAttachments, records);
  EXPECT_EQ(GetComposeAttachments(reply->ConversationIndex()), bar->strAttachments);
  EXPECT_EQ(GetComposeAttachments("no such index"), "");

  env.OpenExplorer(nullptr, {plain});
  auto plainReply = plain->Reply();
  env.OpenInspector(plainReply);
  ASSERT_EQ(compose.Count(), 2);
  EXPECT_EQ(compose.Item(2)->strAttachments, "");

  ClearComposeAttachments(reply->ConversationIndex());
  EXPECT_EQ(bar->strAttachments, "");
  env.host().CloseWindow(replyWindow);
  ASSERT_EQ(compose.Count(), 1);
  EXPECT_EQ(compose.Item(1)->strConversationIndex, plainReply->ConversationIndex());
}

class StubbornForm : public ui::Form {
 public:
  explicit StubbornForm(std::string name, bool refuse)
      : ui::Form(std::move(name)), refuse_(refuse) {}
  void OnUnload(bool& cancel) override { cancel = refuse_; }
  bool refuse_;
};

TEST_F(LifecycleTest, ShutDownUnloadsFormsLastFirstAndStopsAtOneThatRefuses) {
  StubbornForm a("a", false), b("b", true), c("c", false);
  a.Show(false);
  b.Show(false);
  c.Show(false);
  modMain::subKillObjects();
  EXPECT_TRUE(a.Loaded());
  EXPECT_TRUE(b.Loaded());
  EXPECT_FALSE(c.Loaded());
  b.refuse_ = false;
  modMain::subKillObjects();
  EXPECT_FALSE(a.Loaded());
  EXPECT_FALSE(b.Loaded());
}

}  // namespace
}  // namespace stow::testing
