// A rewrite killed at any point leaves the message exactly once, and the next
// process that lists the folder finishes or undoes what the dead writer left.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/process.h"
#include "maildir/maildir_fixture.h"
#include "platform/maildir/maildir_names.h"

namespace stow::maildir::testing {
namespace {

const std::string kMail =
    "Message-ID: <save@example.org>\nDate: Tue, 02 Jan 2024 10:00:00 +0000\n"
    "From: Ann <ann@example.org>\nMIME-Version: 1.0\nSubject: kept\n"
    "Content-Type: text/html\n\n<p>original</p>\n";

// A unique name as this host's writer `pid` makes it.
std::string UniqueOfWriter(pid_t pid) {
  std::string u = NewUniqueName(1704189600);
  std::size_t p = u.find('P'), q = u.find('Q', p);
  return u.substr(0, p + 1) + std::to_string(pid) + u.substr(q);
}

// The parameter is the note's form: the written note (old name and inode), or a
// second link to the new message (what a save makes where hard links exist).
class InterruptedSaveTest : public MaildirTest, public ::testing::WithParamInterface<bool> {
 protected:
  // What a writer leaves in tmp/ before it exchanges the new message (new unique
  // newUnique, holding text) with the old file `old` ("sub/file").
  ino_t LeaveNote(const std::string& newUnique, const std::string& old, const std::string& text) {
    WriteAll(root_ / "tmp" / newUnique, text);
    struct stat st {};
    stat((root_ / "tmp" / newUnique).c_str(), &st);
    fs::path note = root_ / "tmp" / (".stowbright-replace-" + newUnique);
    if (GetParam())
      fs::create_hard_link(root_ / "tmp" / newUnique, note);
    else
      WriteAll(note, old + "\n" + std::to_string(st.st_ino));
    return st.st_ino;
  }
  std::vector<std::string> TmpFiles() const {
    std::vector<std::string> out;
    for (auto& e : fs::directory_iterator(root_ / "tmp"))
      out.push_back(e.path().filename().string());
    return out;
  }
};

TEST_P(InterruptedSaveTest, KilledBetweenExchangeAndRenameGetsItsNewNameOnTheNextListing) {
  // The old name (with a size and a sync tool's UID) already holds the new message;
  // the old message sits in tmp/ under the new unique name.
  fs::path old = Deliver(kMail, ",S=999,U=17:2,FS");
  std::string oldFile = old.filename().string();
  std::string newUnique = UniqueOfWriter(::stow::testing::EndedPid());
  std::string rewritten = kMail + "<p>rewritten</p>\n";
  LeaveNote(newUnique, "cur/" + oldFile, rewritten);
  fs::path tmpFile = root_ / "tmp" / newUnique;
  ASSERT_EQ(renameat2(AT_FDCWD, tmpFile.c_str(), AT_FDCWD, old.c_str(), RENAME_EXCHANGE), 0);

  auto items = store_->GetDefaultFolder(om::olFolderInbox)->Items();
  auto files = InboxFiles();
  ASSERT_EQ(files.size(), 1u);
  auto name = MaildirFileName::Parse(fs::path(files[0]).filename().string());
  EXPECT_EQ(name.unique, newUnique);
  EXPECT_EQ(name.info.value_or(""), "2,FS");
  EXPECT_EQ(fs::path(files[0]).filename().string(),
            newUnique + ",S=" + std::to_string(rewritten.size()) + ":2,FS");
  EXPECT_EQ(ReadAll(root_ / files[0]), rewritten);
  EXPECT_TRUE(TmpFiles().empty());
  EXPECT_EQ(items->Count(), 1);
}

TEST_P(InterruptedSaveTest, KilledBeforeTheExchangeLeavesTheOldMessageAlone) {
  fs::path old = Deliver(kMail, ",S=" + std::to_string(kMail.size()) + ":2,S");
  std::string newUnique = UniqueOfWriter(::stow::testing::EndedPid());
  LeaveNote(newUnique, "cur/" + old.filename().string(), kMail + "<p>never placed</p>\n");

  auto items = store_->GetDefaultFolder(om::olFolderInbox)->Items();
  EXPECT_EQ(InboxFiles(), std::vector<std::string>{"cur/" + old.filename().string()});
  EXPECT_EQ(ReadAll(old), kMail);
  EXPECT_TRUE(TmpFiles().empty());
}

TEST_P(InterruptedSaveTest, ALiveWritersNoteIsLeftAlone) {
  fs::path old = Deliver(kMail);
  // This process is alive: its save may be in progress.
  std::string newUnique = NewUniqueName(1704189600);
  LeaveNote(newUnique, "cur/" + old.filename().string(), "x");
  auto items = store_->GetDefaultFolder(om::olFolderInbox)->Items();
  EXPECT_EQ(TmpFiles().size(), 2u);
  EXPECT_EQ(ReadAll(old), kMail);
}

TEST_P(InterruptedSaveTest, AMoveOrFlagChangeAfterReadingIsKeptAndNeverMakesASecondCopy) {
  fs::path old = Deliver(kMail, ",S=" + std::to_string(kMail.size()), "", "new");
  auto item = ItemAt(old);
  item->SetHTMLBody("<p>rewritten</p>");
  // A mail client moves it to cur/ and flags it between the read and the save.
  fs::rename(old, root_ / "cur" / (old.filename().string() + ":2,FS"));
  item->Save();
  auto files = InboxFiles();
  ASSERT_EQ(files.size(), 1u) << files[0];
  EXPECT_EQ(files[0].substr(0, 4), "cur/");
  auto name = MaildirFileName::Parse(fs::path(files[0]).filename().string());
  EXPECT_EQ(name.unique, item->EntryID());
  EXPECT_NE(name.unique, MaildirFileName::Parse(old.filename().string()).unique);
  EXPECT_EQ(name.info.value_or(""), "2,FS");
  std::string text = ReadAll(root_ / files[0]);
  EXPECT_NE(ItemAt(root_ / files[0])->HTMLBody().find("rewritten"), std::string::npos);
  EXPECT_NE(files[0].find(",S=" + std::to_string(text.size())), std::string::npos) << files[0];
  EXPECT_TRUE(TmpFiles().empty());
}

TEST_P(InterruptedSaveTest, AMessageChangedByAnotherProgramIsNotReplaced) {
  fs::path old = Deliver(kMail);
  auto item = ItemAt(old);
  item->SetHTMLBody("<p>mine</p>");
  WriteAll(old, kMail + "<p>theirs</p>\n");
  EXPECT_EQ(ErrorOf([&] { item->Save(); }), errnum::kItemInConflict);
  EXPECT_EQ(InboxFiles().size(), 1u);
  EXPECT_NE(ReadAll(old).find("theirs"), std::string::npos);
  EXPECT_TRUE(TmpFiles().empty());
}

INSTANTIATE_TEST_SUITE_P(NoteForms, InterruptedSaveTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Linked" : "Written"; });

}  // namespace
}  // namespace stow::maildir::testing
