#include "engine/reattach.h"
#include "platform/link_markers.h"

#include <gtest/gtest.h>

#include <filesystem>
#include "common/regex.h"

#include "engine/deleteItem.h"
#include "engine/processEmail.h"
#include "tests/common/addin_environment.h"
#include "tests/engine/engine_test_util.h"

namespace stow::testing {
namespace {

class ReAttachTest : public AddinTest {
 protected:
  void SetUp() override {
    folder = env.MakeFolder("att");
    env.UseAttachmentFolder(folder);
    env.SetSetting("AttachmentNamingOption", "0");
  }
  // A detached mail with two files and the body it had before.
  std::shared_ptr<om::Item> Detached(const std::string& body = "<p>orig</p>") {
    auto item = env.AddMail({.subject = "s",
                             .htmlBody = body,
                             .receivedTime = DateTime{2011, 7, 6, 14, 30, 5},
                             .attachments = {{"report.pdf", "PDF bytes"}, {"notes.txt", "N"}}});
    ProcessEmail(item, false, "", false);
    return env.Reload(item);
  }
  std::string folder;
};

TEST_F(ReAttachTest, GivesBackTheAttachmentsAndTrashesTheSavedFiles) {
  auto item = Detached();
  auto saved = env.ListFiles(folder);
  ASSERT_EQ(saved.size(), 2u);
  ReAttachFiles(item, false, "");
  auto stored = env.Reload(item);
  EXPECT_EQ(AttachmentNames(stored),
            (std::vector<std::string>{kTokenFileName, "report.pdf", "notes.txt"}));
  EXPECT_EQ(AttachmentNamed(stored, "report.pdf")->Size(), 9);
  EXPECT_EQ(stored->HTMLBody(), "<p>orig</p>");
  EXPECT_EQ(stored->BillingInformation(), "");
  EXPECT_EQ(RecordsOf(stored), "");
  EXPECT_TRUE(env.ListFiles(folder).empty());
  for (const auto& name : saved) EXPECT_NE(env.fs().FindInTrash(folder + "/" + name), "") << name;
  // Nothing stays in the working folder but the token.
  EXPECT_EQ(env.ListFiles(env.TempFolder()), std::vector<std::string>{kTokenFileName});
  EXPECT_EQ(env.LastOutcome().trashed.size(), 2u);

  // A copy of the mail elsewhere still records the files: it gets them from the trash.
  auto copy = env.AddMail({.htmlBody = "<p>copy</p>"});
  ReAttachFiles(copy, false, folder + "/" + saved[0] + "\tnotes.txt\t0\t1");
  EXPECT_EQ(env.ReadFile(env.fs().FindInTrash(folder + "/" + saved[0])), "N");
  EXPECT_EQ(AttachmentNamed(env.Reload(copy), "notes.txt")->Size(), 1);
  ASSERT_EQ(env.LastOutcome().reattached.size(), 1u);
  EXPECT_TRUE(env.LastOutcome().reattached[0].fromTrash);
}

TEST_F(ReAttachTest, WhatCannotBePutBackKeepsItsRecordAndItsLinkAndIsNamed) {
  auto item = Detached();
  std::string missing = folder + "/2011.07.06_14.30.05_notes.txt";
  std::filesystem::remove(missing);
  ReAttachFiles(item, false, "");
  auto stored = env.Reload(item);
  EXPECT_EQ(AttachmentNames(stored), (std::vector<std::string>{kTokenFileName, "report.pdf"}));
  EXPECT_EQ(RecordsOf(stored), missing + "\tnotes.txt\t0\t1");
  EXPECT_TRUE(IsProcessed(stored));
  std::string html = stored->HTMLBody();
  EXPECT_EQ(Occurrences(html, "<li>"), 1u);
  EXPECT_NE(html.find("href='" + FileUrl(missing) + "'"), std::string::npos);
  EXPECT_EQ(Occurrences(html, "<p>orig</p>"), 1u);
  ASSERT_EQ(env.LastOutcome().failed.size(), 1u);
  EXPECT_EQ(env.LastOutcome().failed[0].what, missing);
  // Nothing could be put back at all, or there are no records: nothing is saved.
  int saves = env.mem().faults().SaveCount();
  ReAttachFiles(stored, false, "");
  auto plain = env.AddMail({.htmlBody = "<p>x</p>", .attachments = {{"a.pdf", "A"}}});
  ReAttachFiles(plain, false, "");
  ReAttachFiles(plain, false, "   ");
  EXPECT_EQ(env.mem().faults().SaveCount(), saves);
}

TEST_F(ReAttachTest, AFailedSaveOrAddKeepsTheFilesTheirRecordsAndLinks) {
  auto item = Detached();
  env.mem().faults().FailSave(item->EntryID(), errnum::kAccessDenied, -1);
  ReAttachFiles(item, false, "");
  EXPECT_EQ(env.ListFiles(folder).size(), 2u);
  EXPECT_TRUE(IsProcessed(env.Reload(item)));
  EXPECT_EQ(Lines(RecordsOf(env.Reload(item))).size(), 2u);
  EXPECT_EQ(env.ListFiles(env.TempFolder()), std::vector<std::string>{kTokenFileName});
  env.mem().faults().Clear();
  item = env.Reload(item);
  env.mem().faults().FailAttachmentAdd("notes.txt", errnum::kFail, -1);
  ReAttachFiles(item, false, "");
  auto stored = env.Reload(item);
  EXPECT_EQ(AttachmentNames(stored), (std::vector<std::string>{kTokenFileName, "report.pdf"}));
  std::string kept = folder + "/2011.07.06_14.30.05_notes.txt";
  EXPECT_EQ(env.ListFiles(folder), std::vector<std::string>{"2011.07.06_14.30.05_notes.txt"});
  EXPECT_EQ(RecordsOf(stored), kept + "\tnotes.txt\t0\t1");
  EXPECT_NE(stored->HTMLBody().find("href='" + FileUrl(kept) + "'"), std::string::npos);
  EXPECT_TRUE(IsProcessed(stored));
  // A later re-attach finishes the job.
  env.mem().faults().Clear();
  ReAttachFiles(stored, false, "");
  EXPECT_TRUE(env.ListFiles(folder).empty());
  EXPECT_EQ(AttachmentNames(env.Reload(item)).size(), 3u);
}

TEST_F(ReAttachTest, AFileChangedWhileTheItemIsSavedStays) {
  std::string saved = folder + "/saved.txt";
  env.WriteFile(saved, "first");
  auto draft = env.AddMail({})->Reply();  // its first save lands it in Drafts
  auto drafts = env.store().GetDefaultFolder(om::olFolderDrafts);
  auto writer = drafts->Items()->ItemAdd().Connect(
      [&](const std::shared_ptr<om::Item>&) { env.WriteFile(saved, "edited meanwhile"); });
  ReAttachFiles(draft, false, saved + "\tsaved.txt\t0");
  EXPECT_EQ(env.ReadFile(saved), "edited meanwhile");
  ASSERT_EQ(env.LastOutcome().failed.size(), 1u);
  EXPECT_EQ(env.LastOutcome().failed[0].what, saved);
}

TEST_F(ReAttachTest, InlineImagesGetNewContentIdsAndTheViewIsRefreshed) {
  env.SetSetting("TreatInlineImagesAsAttachments", "-1");
  // A folder whose name needs escaping in HTML.
  std::string odd = env.MakeFolder("it's & <odd>");
  env.UseAttachmentFolder(odd);
  auto item = env.AddMail({.htmlBody = "<img src=\"cid:abc\"><img src=\"cid:abc\">",
                           .attachments = {{"pic.png", "PNG", "abc"}, {"a.pdf", "A"}}});
  ProcessEmail(item, false, "", false);
  auto detached = env.Reload(item);
  ASSERT_EQ(Lines(RecordsOf(detached)).size(), 2u);
  EXPECT_NE(detached->HTMLBody().find(FileUrl(odd) + "/"), std::string::npos);
  EXPECT_EQ(detached->HTMLBody().find("<odd>"), std::string::npos);

  auto explorer = env.OpenExplorer();
  int switches = 0;
  auto connection = explorer->FolderSwitch().Connect([&] { ++switches; });
  ReAttachFiles(detached, false, "");
  auto stored = env.Reload(item);
  auto image = AttachmentNamed(stored, "pic.png");
  ASSERT_TRUE(image);
  std::string id = ToText(image->Field(om::PR_ATTACH_CONTENT_ID));
  EXPECT_TRUE(std::regex_match(id, std::regex(R"(\d{8})"))) << id;
  EXPECT_EQ(stored->HTMLBody(), "<img src=\"cid:" + id + "\"><img src=\"cid:" + id + "\">");
  EXPECT_EQ(switches, 2);  // the parent, then the folder again
  EXPECT_EQ(explorer->CurrentFolder()->FolderPath(), env.Inbox()->FolderPath());

  // In the folder batch the view is left alone.
  ProcessEmail(stored, false, "", false);
  ReAttachFiles(env.Reload(item), true, "");
  EXPECT_EQ(switches, 2);
}

TEST_F(ReAttachTest, TwoDetachesComeBackTogether) {
  auto item = Detached();
  env.WriteFile(env.Root() + "/later.doc", "L");
  item->Attachments()->Add(env.Root() + "/later.doc", "");
  item->Save();
  ProcessEmail(item, false, "", false);
  auto twice = env.Reload(item);
  ASSERT_EQ(Occurrences(twice->HTMLBody(), kBlockEndComment), 2u);
  ReAttachFiles(twice, false, "");
  auto stored = env.Reload(item);
  EXPECT_EQ(AttachmentNames(stored),
            (std::vector<std::string>{kTokenFileName, "report.pdf", "notes.txt", "later.doc"}));
  EXPECT_EQ(stored->HTMLBody(), "<p>orig</p>");
  EXPECT_TRUE(env.ListFiles(folder).empty());
}

TEST_F(ReAttachTest, HostileAttachmentNamesNeverLeaveTheTemporaryFolder) {
  std::string saved = folder + "/saved.bin";
  env.WriteFile(saved, "payload");
  std::string outside = env.Root() + "/precious.txt";
  env.WriteFile(outside, "precious");
  auto item = env.AddMail({.htmlBody = "<p>x</p>"});
  ReAttachFiles(item, false, saved + "\t../precious.txt\t0");
  EXPECT_EQ(env.ReadFile(outside), "precious");
  auto stored = env.Reload(item);
  ASSERT_EQ(stored->Attachments()->Count(), 1);
  EXPECT_EQ(stored->Attachments()->Item(1)->Size(), 7);
  EXPECT_EQ(AttachmentNames(stored)[0].find('/'), std::string::npos);

  EXPECT_EQ(TempCopyPath("a.pdf"), env.TempFolder() + "/a.pdf");
  EXPECT_EQ(TempCopyPath("../../x").rfind(env.TempFolder() + "/", 0), 0u);
  EXPECT_EQ(TempCopyPath("/etc/passwd"), env.TempFolder() + "/etcpasswd");
  std::string dots = TempCopyPath("..");
  EXPECT_TRUE(std::regex_match(dots, std::regex(".*/Temp/\\d{6}"))) << dots;
  EXPECT_EQ(TempCopyPath(std::string(300, 'x')), "");
}

TEST_F(ReAttachTest, RemovingLinksKeepsFilesAndRecords) {
  auto item = Detached();
  std::string records = RecordsOf(item);
  subRemoveFilesLinks(item, records, true, false);
  EXPECT_EQ(env.LastOutcome().unlinked.size(), 2u);
  auto stored = env.Reload(item);
  EXPECT_EQ(stored->HTMLBody(), "<p>orig</p>");
  EXPECT_EQ(stored->BillingInformation(), "");
  EXPECT_EQ(RecordsOf(stored), records);
  EXPECT_EQ(env.ListFiles(folder).size(), 2u);
  // Re-attach still works from the records.
  ReAttachFiles(stored, false, "");
  EXPECT_EQ(AttachmentNames(env.Reload(item)).size(), 3u);
  EXPECT_TRUE(env.ListFiles(folder).empty());
}

TEST_F(ReAttachTest, ComposeAttachLeavesTheSavedFilesOnDisk) {
  auto original = Detached();
  std::string records = RecordsOf(original);
  auto reply = original->Reply();
  reply->SetHTMLBody(original->HTMLBody());
  subRemoveFilesLinks(reply, records, true, true);
  EXPECT_EQ(AttachmentNames(reply), (std::vector<std::string>{"report.pdf", "notes.txt"}));
  EXPECT_EQ(reply->HTMLBody().find("tableKZOSTART"), std::string::npos);
  EXPECT_EQ(env.ListFiles(folder).size(), 2u);
  EXPECT_EQ(env.ListFiles(env.TempFolder()), std::vector<std::string>{kTokenFileName});
  // Neither flag: only the save.
  int saves = env.mem().faults().SaveCount();
  subRemoveFilesLinks(original, records, false, false);
  EXPECT_EQ(env.mem().faults().SaveCount(), saves + 1);
  EXPECT_TRUE(IsProcessed(env.Reload(original)));
}

class DeleteTest : public ReAttachTest {};

TEST_F(DeleteTest, DeletesTheItemForGoodThenTrashesItsFiles) {
  auto item = Detached();
  std::string id = item->EntryID();
  std::string gone = folder + "/2011.07.06_14.30.05_report.pdf";
  std::string notes = folder + "/2011.07.06_14.30.05_notes.txt";
  std::filesystem::remove(gone);   // already gone
  DeleteItemAndFiles(item, true);  // DeleteItemPrompt off: no question
  EXPECT_TRUE(env.ui.MessageBoxes().empty());
  EXPECT_TRUE(env.ListFiles(folder).empty());
  EXPECT_EQ(env.ReadFile(env.fs().FindInTrash(notes)), "N");
  EXPECT_EQ(env.mem().faults().DeleteCount(id), 1);
  EXPECT_EQ(env.mem().FindByEntryId(id), nullptr);  // not in Deleted Items either
  EXPECT_EQ(env.LastOutcome().trashed, std::vector<std::string>{notes});
}

TEST_F(DeleteTest, AsksFirstWhenTheSettingSaysSo) {
  env.SetSetting("DeleteItemPrompt", "-1");
  auto item = Detached();
  env.ui.QueueAnswer(ui::vbNo);
  DeleteItemAndFiles(item, true);
  ASSERT_EQ(env.ui.MessageBoxes().size(), 1u);
  const auto& box = env.ui.MessageBoxes()[0];
  EXPECT_EQ(box.prompt,
            "Are you sure you want to delete the selected email and its associated files "
            "permanently?");
  EXPECT_EQ(box.style, ui::vbYesNo | ui::vbInformation);
  EXPECT_EQ(box.title, "Stowbright for Outlook");
  EXPECT_EQ(env.ListFiles(folder).size(), 2u);
  EXPECT_EQ(env.mem().faults().DeleteCount(), 0);

  DeleteItemAndFiles(item, false);  // the caller asked already
  EXPECT_EQ(env.ui.MessageBoxes().size(), 1u);
  EXPECT_TRUE(env.ListFiles(folder).empty());
}

TEST_F(DeleteTest, AnOpenItemIsClosedWithoutSavingFirst) {
  auto item = Detached();
  auto other = env.AddMail({.subject = "other"});
  env.OpenInspector(other);
  auto inspector = env.OpenInspector(env.Reload(item));
  inspector->CurrentItem()->SetSubject("unsaved change");
  std::string id = item->EntryID();
  int saves = env.mem().faults().SaveCount();
  DeleteItemAndFiles(item, false);
  EXPECT_EQ(env.host().Inspectors()->Count(), 1);
  EXPECT_EQ(env.host().Inspectors()->Item(1)->CurrentItem()->Subject(), "other");
  EXPECT_EQ(env.mem().faults().SaveCount(), saves);
  EXPECT_EQ(env.mem().faults().DeleteCount(id), 1);
}

TEST_F(DeleteTest, AFailedDeleteOrAnItemWithoutRecordsTouchesNoFile) {
  auto item = Detached();
  env.mem().faults().FailDelete(item->EntryID(), errnum::kAccessDenied, -1);
  DeleteItemAndFiles(item, false);
  EXPECT_EQ(env.ListFiles(folder).size(), 2u);
  env.WriteFile(folder + "/keep.pdf", "k");
  DeleteItemAndFiles(env.AddMail({.subject = "plain"}), false);
  EXPECT_EQ(env.ListFiles(folder).size(), 3u);
  EXPECT_EQ(env.mem().faults().DeleteCount(), 1);
}

}  // namespace
}  // namespace stow::testing
