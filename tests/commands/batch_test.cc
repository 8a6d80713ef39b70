// The command routines over a selection or a folder and the batch window they open.

#include <chrono>
#include <string>

#include "commands/commandRunner.h"
#include "commands/commands_env.h"
#include "commands/copyAttachments.h"
#include "platform/ui.h"
#include "support/cSettings.h"
#include "support/modGlobal.h"

namespace stow::testing {
namespace {

using std::chrono::milliseconds;

constexpr const char* kPerFolderStart = "You have not specified an attachment file folder for ";
constexpr const char* kNoCommonFolder =
    "You have not specified the attachment file folder to store the detached files yet!";

class BatchTest : public CommandsTest {
 protected:
  void SetUp() override { env.UseAttachmentFolder(env.MakeFolder("att")); }
  std::string Att() { return env.Root() + "/att"; }
};

TEST_F(BatchTest, OneSelectedOrOpenItemGoesStraightToTheEngineTwoOpenTheBatchWindow) {
  auto items = AddMails(3, "m");
  env.OpenExplorer(nullptr, {items[0]});
  StripAttachments();
  EXPECT_EQ(BatchShows(), 0);
  EXPECT_TRUE(Processed(items[0]));
  EXPECT_FALSE(Processed(items[1]));

  env.OpenExplorer(nullptr, {items[1], items[2]});
  StripAttachments();
  ASSERT_EQ(BatchShows(), 1);
  EXPECT_TRUE(Processed(items[1]));
  EXPECT_TRUE(Processed(items[2]));
  auto* w = BatchWindow();
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(w->Caption, "Processing multiple mails");
  EXPECT_EQ(w->lblFolder.Caption, "Inbox");
  EXPECT_EQ(w->lblProcessing.Caption, "Processing.... (2 Of 2)");
  EXPECT_EQ(w->pb.Min, 1);
  EXPECT_EQ(w->pb.Max, 2);
  EXPECT_EQ(w->pb.Value, 2);
  EXPECT_TRUE(w->pb.Visible);
  EXPECT_EQ(env.ListFiles(Att()).size(), 3u);

  // An open item is the one item, whatever the explorer selects.
  auto more = AddMails(2, "i");
  env.OpenExplorer(nullptr, more);
  env.OpenInspector(more[1]);
  StripAttachments();
  EXPECT_EQ(BatchShows(), 1);
  EXPECT_FALSE(Processed(more[0]));
  EXPECT_TRUE(Processed(more[1]));
}

TEST_F(BatchTest, ReattachAndCopyFollowTheSameOneOrManyRule) {
  auto items = AddMails(2, "r");
  env.OpenExplorer(nullptr, {items[0], items[1]});
  StripAttachments();
  env.loop.Advance(milliseconds(600));
  ASSERT_TRUE(Processed(items[0]));

  env.OpenExplorer(nullptr, {items[0]});
  AttachFiles();
  EXPECT_EQ(BatchShows(), 1);
  EXPECT_TRUE(HasAttachment(items[0], "r0.pdf"));
  EXPECT_FALSE(HasAttachment(items[1], "r1.pdf"));

  env.OpenExplorer(nullptr, {items[0], items[1]});
  AttachFiles();
  EXPECT_EQ(BatchShows(), 2);
  EXPECT_TRUE(HasAttachment(items[1], "r1.pdf"));
  env.loop.Advance(milliseconds(600));

  std::string copies = env.MakeFolder("copies");
  env.ui.QueueFolder(copies);
  env.OpenExplorer(nullptr, {items[0]});
  CopyAttachmentsToFileFolder();
  EXPECT_EQ(BatchShows(), 2);
  EXPECT_EQ(env.ListFiles(copies), std::vector<std::string>{"r0.pdf"});

  env.ui.QueueFolder(copies);
  env.OpenExplorer(nullptr, {items[0], items[1]});
  CopyAttachmentsToFileFolder();
  EXPECT_EQ(BatchShows(), 3);
  EXPECT_EQ(env.ListFiles(copies), (std::vector<std::string>{"r0.pdf", "r1.pdf"}));
  EXPECT_EQ(BatchWindow()->lblProcessing.Caption, "Processing.... (2 Of 2)");
}

TEST_F(BatchTest, WindowIsTopmostWhileRunningClosesHalfASecondAfterTheEndOrAtOnceOnCancel) {
  auto items = AddMails(2, "t");
  env.OpenExplorer(nullptr, items);
  std::vector<std::string> topmostDuringBatch;
  AtTurn(2, [&] { topmostDuringBatch = env.ui.TopmostForms(); });
  StripAttachments();
  EXPECT_EQ(topmostDuringBatch, std::vector<std::string>{"fStripAttachments"});
  auto* w = BatchWindow();
  ASSERT_NE(w, nullptr);
  EXPECT_TRUE(w->Stopped());
  env.loop.Advance(milliseconds(499));
  EXPECT_NE(BatchWindow(), nullptr);
  env.loop.Advance(milliseconds(1));
  EXPECT_EQ(BatchWindow(), nullptr);
  env.loop.DoEvents();
  EXPECT_EQ(fStripAttachments::LiveCount(), 0u);

  // Cancel during the batch stops before the next item; after the end it closes at once.
  items = AddMails(5, "c");
  env.OpenExplorer(nullptr, items);
  // Turn 1 is the yield before the loop, turn n + 1 the one before item n: a click at
  // turn 3 comes while item 2 is the next one, so only item 1 is done.
  AtTurn(3, [&] { BatchWindow()->cmdCancel.PerformClick(); });
  StripAttachments();
  EXPECT_TRUE(Processed(items[0]));
  for (int i = 1; i < 5; ++i) EXPECT_FALSE(Processed(items[i])) << i;
  w = BatchWindow();
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(w->lblProcessing.Caption, "Processing.... (2 Of 5)");
  env.loop.Advance(milliseconds(500));
  EXPECT_EQ(BatchWindow(), nullptr);

  env.OpenExplorer(nullptr, {items[1], items[2]});
  StripAttachments();
  ASSERT_NE(BatchWindow(), nullptr);
  BatchWindow()->cmdCancel.PerformClick();
  EXPECT_EQ(BatchWindow(), nullptr);
}

TEST_F(BatchTest, FolderWithoutAttachmentFolderShowsThePerFolderMessageOnlyWhenAsked) {
  auto folder = env.mem().AddFolder(env.mem().Root(), "Projects");
  auto items = AddMails(2, "f", folder);
  env.SetSetting("AttachmentFolderOption", "0");
  env.OpenExplorer(folder);

  StripAttachmentsFromAllItemsInFolder(folder, true, false);
  EXPECT_TRUE(env.MessageTexts().empty());
  EXPECT_FALSE(Processed(items[0]));
  env.loop.Advance(milliseconds(500));
  EXPECT_EQ(BatchWindow(), nullptr);

  StripAttachmentsFromAllItemsInFolder(folder, false, true);
  ASSERT_EQ(env.ui.MessageBoxes().size(), 1u);
  const auto& box = env.ui.MessageBoxes()[0];
  EXPECT_EQ(box.prompt, std::string(kPerFolderStart) +
                            "'Projects' folder yet!\r\n\r\nClick the button 'Specify Attachment "
                            "Folder...' to set one and then continue.");
  EXPECT_EQ(box.style, ui::vbCritical);
  EXPECT_EQ(box.title, "Stowbright for Outlook");
  EXPECT_TRUE(box.topmostForms.empty());
  EXPECT_EQ(env.ui.TopmostForms(), std::vector<std::string>{"fStripAttachments"});
  EXPECT_FALSE(Processed(items[0]));
  EXPECT_FALSE(Processed(items[1]));
}

TEST_F(BatchTest, CommonFolderMissingIsToldEvenToASweepAndAMissingPerFolderOneNamed) {
  auto items = AddMails(2, "g");
  env.SetSetting("AttachmentFolderPath", "");
  env.SetSetting("AttachmentFolderOption", "1");
  ASSERT_EQ(modGlobal::objSettings->AttachmentFolderPath, "");
  StripAttachmentsFromAllItemsInFolder(env.Inbox(), true, false);
  EXPECT_EQ(env.MessageTexts(), std::vector<std::string>{kNoCommonFolder});
  EXPECT_FALSE(Processed(items[0]));

  // The selection batch tells it too, naming nothing.
  env.OpenExplorer(nullptr, items);
  StripAttachments();
  EXPECT_EQ(env.MessageTexts().size(), 2u);
  EXPECT_EQ(env.MessageTexts().back(), kNoCommonFolder);

  // Without a per-folder one it names the explorer's folder.
  env.loop.Advance(milliseconds(500));  // the last batch window is gone
  env.SetSetting("AttachmentFolderOption", "0");
  StripAttachments();
  ASSERT_EQ(env.MessageTexts().size(), 3u);
  EXPECT_EQ(env.MessageTexts()[2].rfind(std::string(kPerFolderStart) + "'Inbox' folder yet!", 0),
            0u);
  EXPECT_TRUE(env.ui.MessageBoxes()[2].topmostForms.empty());
  EXPECT_FALSE(Processed(items[0]));
}

TEST_F(BatchTest,
       CustomFolderPromptIsOpenedOffTopCancellingItProcessesNothingAndNoFileAsksNothing) {
  auto items = AddMails(2, "p");
  env.OpenExplorer(nullptr, items);
  StripAttachmentsToACustomFolder();
  ASSERT_EQ(env.ui.Browses().size(), 1u);
  EXPECT_TRUE(env.ui.Browses()[0].topmostForms.empty());
  EXPECT_FALSE(Processed(items[0]));
  EXPECT_FALSE(Processed(items[1]));
  env.loop.Advance(milliseconds(500));
  EXPECT_EQ(BatchWindow(), nullptr);

  std::string custom = env.MakeFolder("custom");
  env.ui.QueueFolder(custom);
  StripAttachmentsToACustomFolder();
  EXPECT_EQ(env.ui.Browses().size(), 2u);
  EXPECT_TRUE(Processed(items[0]));
  EXPECT_EQ(env.ListFiles(custom).size(), 2u);

  // One item without attachments: nothing to ask for.
  int shows = BatchShows();
  env.OpenExplorer(nullptr, AddMails(1, "n", nullptr, false));
  StripAttachmentsToACustomFolder();
  EXPECT_EQ(env.ui.Browses().size(), 2u);
  EXPECT_EQ(BatchShows(), shows);
}

TEST_F(BatchTest, MarkedItemsAreSkippedBySweepsButCountedAndDoneByTheCommand) {
  auto folder = env.mem().AddFolder(env.mem().Root(), "One");
  auto item = env.AddMail({.subject = "already",
                           .htmlBody = "<html><body>x</body></html>",
                           .billingInformation = "kzo_processed_item",
                           .attachments = {{"kept.pdf", "data"}}},
                          folder);
  StripAttachmentsFromAllItemsInFolder(folder, true, false);
  EXPECT_EQ(BatchShows(), 0);
  EXPECT_EQ(env.Reload(item)->Attachments()->Count(), 1);
  EXPECT_TRUE(env.ListFiles(Att()).empty());

  StripAttachmentsFromAllItemsInFolder(folder, false, true);
  EXPECT_EQ(BatchShows(), 0);
  EXPECT_EQ(env.ListFiles(Att()).size(), 1u);

  // A folder batch skips marked items but counts them.
  AddMails(3, "k");
  auto marked = env.AddMail({.subject = "marked",
                             .billingInformation = "KZO_PROCESSED_ITEM",
                             .attachments = {{"marked.pdf", "x"}}});
  StripAttachmentsFromAllItemsInFolder(env.Inbox(), true, false);
  EXPECT_EQ(BatchShows(), 1);
  EXPECT_EQ(BatchWindow()->lblProcessing.Caption, "Processing.... (4 Of 4)");
  EXPECT_EQ(env.ListFiles(Att()).size(), 4u);
  EXPECT_EQ(env.Reload(marked)->Attachments()->Count(), 1);
}

TEST_F(BatchTest, DeleteOfSeveralItemsAsksOnceThenDeletesEach) {
  env.SetSetting("DeleteItemPrompt", "1");
  env.SetSetting("DeleteItemsPrompt", "1");
  auto items = AddMails(3, "d");
  env.OpenExplorer(nullptr, items);
  env.ui.QueueAnswer(ui::vbNo);
  DeleteItemFiles();
  ASSERT_EQ(env.ui.MessageBoxes().size(), 1u);
  EXPECT_EQ(env.ui.MessageBoxes()[0].prompt,
            "Are you sure you want to delete the selected emails and their associated files "
            "permanently?");
  EXPECT_EQ(env.ui.MessageBoxes()[0].style, ui::vbYesNo | ui::vbInformation);
  EXPECT_EQ(env.mem().faults().DeleteCount(), 0);

  env.ui.QueueAnswer(ui::vbYes);
  DeleteItemFiles();
  EXPECT_EQ(env.ui.MessageBoxes().size(), 2u);
  EXPECT_EQ(env.mem().faults().DeleteCount(), 3);
  EXPECT_EQ(BatchShows(), 0);

  // Without the several-items prompt nothing is asked (not even the one-item one).
  env.SetSetting("DeleteItemsPrompt", "0");
  env.OpenExplorer(nullptr, AddMails(2, "e"));
  DeleteItemFiles();
  EXPECT_EQ(env.ui.MessageBoxes().size(), 2u);
  EXPECT_EQ(env.mem().faults().DeleteCount(), 5);
}

TEST_F(BatchTest, NoWindowOrEmptySelectionDoesNothingSilently) {
  auto items = AddMails(1, "w");
  env.OpenExplorer(nullptr, {});
  StripAttachments();
  DeleteItemFiles();
  env.host().SetActiveWindow(nullptr);
  env.OpenExplorer(nullptr, items);
  env.host().SetActiveWindow(nullptr);
  StripAttachments();
  AttachFiles();
  DeleteItemFiles();
  EXPECT_FALSE(Processed(items[0]));
  EXPECT_TRUE(env.ui.MessageBoxes().empty());
  EXPECT_EQ(env.mem().faults().DeleteCount(), 0);
}

// Counters wide enough for any selection or folder: 40,000 items pass 32,767.
TEST_F(BatchTest, FortyThousandItemsRunToTheEnd) {
  constexpr int kCount = 40000;
  auto items = AddMails(kCount, "x", nullptr, false);
  env.OpenExplorer(nullptr, items);
  AttachFiles();
  ASSERT_NE(BatchWindow(), nullptr);
  EXPECT_EQ(BatchWindow()->lblProcessing.Caption, "Processing.... (40000 Of 40000)");
  EXPECT_EQ(BatchWindow()->pb.Max, static_cast<float>(kCount));
  EXPECT_TRUE(env.MessageTexts().empty());
  env.loop.Advance(milliseconds(500));

  int cancelledAt = 0;
  AtTurn(kCount, [&] {
    BatchWindow()->cmdCancel.PerformClick();
    cancelledAt = 1;
  });
  RemoveAttachmentsFromAllItemsInFolder(env.Inbox(), true);
  ASSERT_EQ(cancelledAt, 1);
  EXPECT_EQ(BatchWindow()->lblProcessing.Caption, "Processing.... (39999 Of 40000)");
  env.loop.Advance(milliseconds(500));

  AttachFilesOnAllItemsInFolder(env.Inbox());
  EXPECT_EQ(BatchWindow()->lblProcessing.Caption, "Processing.... (40000 Of 40000)");
  EXPECT_TRUE(env.MessageTexts().empty());
}

}  // namespace
}  // namespace stow::testing
