// New mail in monitored folders and Sent Items, the start-up sweeps, and new mail
// arriving in the middle of a batch.

#include "monitoring/monitoring.h"

#include <chrono>
#include <string>

#include "common/addin_environment.h"
#include "support/cSettings.h"
#include "support/modGlobal.h"

namespace stow::testing {
namespace {

using namespace modGlobal;

class MonitoringTest : public AddinTest {
 protected:
  void SetUp() override {
    att = env.MakeFolder("att");
    env.UseAttachmentFolder(att);
    sent = env.store().GetDefaultFolder(om::olFolderSentMail);
  }
  void TearDown() override {
    env.loop.Advance(std::chrono::seconds(1));
    env.loop.DoEvents();
  }

  static mem::MailSpec Mail(const std::string& subject, const std::string& cls = "IPM.Note",
                            const std::string& billing = "") {
    mem::MailSpec mailSpec = MailAbout(subject);
    mailSpec.messageClass = cls;
    mailSpec.billingInformation = billing;
    return mailSpec;
  }
  std::int64_t AttachmentCount(const std::shared_ptr<om::Item>& item) {
    return env.Reload(item)->Attachments()->Count();
  }
  void Monitor(const std::vector<std::string>& entries) {
    std::string text;
    for (const auto& e : entries) text += (text.empty() ? "" : "\r\n") + e;
    env.SetSetting("EmailFolders", text);
  }

  std::string att;
  std::shared_ptr<om::Folder> sent;
};

TEST_F(MonitoringTest, OnlyPlainMailInAMonitoredFolderIsDetached) {
  env.SetSetting("StartUpItemMonitoredFolders", "0");
  auto other = env.mem().AddFolder(env.mem().Root(), "Other");
  Monitor({env.Inbox()->FolderPath()});
  subMonitorMailFolders(false);
  auto note = env.mem().Deliver(env.Inbox(), Mail("note", "ipm.note"));
  auto smime = env.mem().Deliver(env.Inbox(), Mail("smime", "IPM.Note.SMIME"));
  auto secure = env.mem().Deliver(env.Inbox(), Mail("secure", "IPM.Note.Secure"));
  auto meeting = env.mem().Deliver(env.Inbox(), Mail("meet", "IPM.Schedule.Meeting.Request"));
  auto post = env.mem().Deliver(env.Inbox(), Mail("post", "IPM.Post"));
  auto elsewhere = env.mem().Deliver(other, Mail("elsewhere"));
  EXPECT_TRUE(Processed(note));
  EXPECT_FALSE(Processed(smime));
  EXPECT_FALSE(Processed(secure));
  EXPECT_FALSE(Processed(meeting));
  EXPECT_FALSE(Processed(post));
  EXPECT_FALSE(Processed(elsewhere));
  EXPECT_EQ(env.ListFiles(att).size(), 1u);
  EXPECT_TRUE(env.ui.MessageBoxes().empty());
}

TEST_F(MonitoringTest, AFolderListedTwiceIsMonitoredOnceAndUnresolvableEntriesAreSkipped) {
  env.SetSetting("StartUpItemMonitoredFolders", "0");
  auto mailbox = env.mem().AddMailbox("Ann");
  Monitor({env.Inbox()->FolderPath(), "\\\\Personal Folders\\Gone", "ann", "nobody"});
  subMonitorMailFolders(true);
  ASSERT_NE(colMonitoredFolders, nullptr);
  EXPECT_EQ(colMonitoredFolders->Count(), 2);
  EXPECT_FALSE(SetupFolderMonitoring(env.Inbox()));
  EXPECT_FALSE(SetupFolderMonitoring(nullptr));
  EXPECT_EQ(colMonitoredFolders->Count(), 2);
  EXPECT_TRUE(env.ui.MessageBoxes().empty());
  auto item = env.mem().Deliver(env.Inbox(), Mail("once"));
  EXPECT_TRUE(Processed(item));
  auto annMail = env.mem().Deliver(mailbox, Mail("ann"));
  EXPECT_TRUE(Processed(annMail));
  // A second monitor on the Inbox would have run the engine on the mail twice.
  EXPECT_EQ(env.mem().faults().SaveCount(item->EntryID()),
            env.mem().faults().SaveCount(annMail->EntryID()));
}

TEST_F(MonitoringTest, StartUpSweepSkipsProcessedItemsAndRunsAfterTheMonitorsExist) {
  env.SetSetting("StartUpItemMonitoredFolders", "1");
  auto a = env.AddMail(Mail("a"));
  auto b = env.AddMail(Mail("b"));
  auto done = env.AddMail(Mail("done", "IPM.Note", "KZO_PROCESSED_ITEM"));
  Monitor({env.Inbox()->FolderPath()});
  std::shared_ptr<om::Item> during;
  bool monitoredAtSweep = false;
  env.ui.OnModeless("fStripAttachments", [&](ui::Form&) {
    monitoredAtSweep = colMonitoredFolders && colMonitoredFolders->Count() == 1;
  });
  subMonitorMailFolders(false);
  EXPECT_TRUE(monitoredAtSweep);
  EXPECT_TRUE(Processed(a));
  EXPECT_TRUE(Processed(b));
  EXPECT_EQ(AttachmentCount(done), 1);
  EXPECT_EQ(env.ListFiles(att).size(), 2u);
}

// The sweep runs before the monitor exists, so that it never meets its own mail.
TEST_F(MonitoringTest, SentItemsOptionZeroDetachesAtStartUpThenForNewItems) {
  env.SetSetting("SentItemsOption", "0");
  env.SetSetting("StartUpSentItems", "1");
  auto old1 = env.AddMail(Mail("old1"), sent);
  auto old2 = env.AddMail(Mail("old2"), sent);
  bool monitorDuringSweep = true;
  env.ui.OnModeless("fStripAttachments",
                    [&](ui::Form&) { monitorDuringSweep = oMonitoredSentItems != nullptr; });
  MonitorSentItemsFolder(false);
  EXPECT_FALSE(monitorDuringSweep);
  EXPECT_NE(oMonitoredSentItems, nullptr);
  EXPECT_TRUE(Processed(old1));
  EXPECT_TRUE(Processed(old2));
  auto fresh = env.mem().Deliver(sent, Mail("fresh"));
  auto signed_ = env.mem().Deliver(sent, Mail("signed", "IPM.Note.SMIME"));
  EXPECT_TRUE(Processed(fresh));
  EXPECT_FALSE(Processed(signed_));
  EXPECT_EQ(env.ListFiles(att).size(), 3u);
}

TEST_F(MonitoringTest, SentItemsOptionOneDeletesAttachmentsWithoutSavingFiles) {
  env.SetSetting("SentItemsOption", "1");
  env.SetSetting("StartUpSentItems", "1");
  auto old1 = env.AddMail(Mail("old1"), sent);
  auto old2 = env.AddMail(Mail("old2"), sent);
  auto marked = env.AddMail(Mail("marked", "IPM.Note", "KZO_PROCESSED_ITEM"), sent);
  auto sealed = env.AddMail(Mail("sealed", "IPM.Note.SMIME"), sent);
  MonitorSentItemsFolder(false);
  EXPECT_EQ(AttachmentCount(old1), 0);
  EXPECT_EQ(AttachmentCount(old2), 0);
  EXPECT_EQ(AttachmentCount(marked), 1);
  EXPECT_EQ(AttachmentCount(sealed), 1) << "signed or encrypted mail is left as it is";
  auto fresh = env.mem().Deliver(sent, Mail("fresh"));
  EXPECT_EQ(AttachmentCount(fresh), 0);
  EXPECT_FALSE(Processed(fresh));
  EXPECT_TRUE(env.ListFiles(att).empty());
}

TEST_F(MonitoringTest, SentItemsOptionTwoLeavesSentMailAlone) {
  env.SetSetting("SentItemsOption", "2");
  env.SetSetting("StartUpSentItems", "1");
  auto old = env.AddMail(Mail("old"), sent);
  // (Start-up with option 2 creates no monitor at all: see the lifecycle tests.)
  // A monitor left from an earlier option ignores new items once the option is 2.
  env.SetSetting("SentItemsOption", "0");
  env.SetSetting("StartUpSentItems", "0");
  MonitorSentItemsFolder(false);
  env.SetSetting("SentItemsOption", "2");
  auto fresh = env.mem().Deliver(sent, Mail("fresh"));
  EXPECT_EQ(AttachmentCount(old), 1);
  EXPECT_EQ(AttachmentCount(fresh), 1);
  EXPECT_FALSE(Processed(fresh));
}

TEST_F(MonitoringTest, NoSentItemsFolderMeansNoSweepAndNoMonitor) {
  env.SetSetting("SentItemsOption", "0");
  env.mem().faults().FailGetDefaultFolder(om::olFolderSentMail);
  MonitorSentItemsFolder(false);
  EXPECT_EQ(oMonitoredSentItems, nullptr);
  EXPECT_TRUE(env.ui.MessageBoxes().empty());
}

}  // namespace
}  // namespace stow::testing
