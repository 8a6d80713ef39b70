#include "engine/processEmail.h"
#include "platform/link_markers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include "common/regex.h"

#include "common/process.h"
#include "engine/reattach.h"
#include "engine/storedOnce.h"
#include "platform/hostapp/safe_library.h"
#include "support/cSettings.h"
#include "support/modGlobal.h"
#include "tests/common/addin_environment.h"
#include "tests/engine/engine_test_util.h"

namespace stow::testing {
namespace {

using mem::AttachmentSpec;
using mem::MailSpec;

class ProcessEmailTest : public AddinTest {
 protected:
  void SetUp() override {
    folder = env.MakeFolder("att");
    env.UseAttachmentFolder(folder);
    env.SetSetting("AttachmentNamingOption", "4");
    env.SetSetting("AttachmentDisplayOption", "1");
    ForgetSavedFiles();
  }
  std::string folder;
};

TEST_F(ProcessEmailTest, DetachesAllButExemptedAttachments) {
  env.settings().AttachmentExtensions()->Add("zip");
  auto item = env.AddMail({.subject = "three",
                           .htmlBody = "<html><body>hi</body></html>",
                           .attachments = {{"a.pdf", "AAAA"}, {"b.doc", "BB"}, {"c.ZIP", "C"}}});
  ProcessEmail(item, false, "", false);

  auto stored = env.Reload(item);
  EXPECT_EQ(AttachmentNames(stored), std::vector<std::string>{"c.ZIP"});
  EXPECT_EQ(env.ListFiles(folder), (std::vector<std::string>{"a.pdf", "b.doc"}));
  EXPECT_EQ(env.ReadFile(folder + "/a.pdf"), "AAAA");
  EXPECT_EQ(env.ReadFile(folder + "/b.doc"), "BB");
  EXPECT_EQ(RecordsOf(stored), folder + "/a.pdf\ta.pdf\t0\t4\r\n" + folder + "/b.doc\tb.doc\t0\t2");
  EXPECT_TRUE(IsProcessed(stored));
  ASSERT_EQ(env.LastOutcome().kept.size(), 1u);
  EXPECT_EQ(env.LastOutcome().kept[0].name, "c.ZIP");
  std::string html = stored->HTMLBody();
  EXPECT_EQ(html.find("<br><table id=tableKZOSTART"), 0u);  // default: block on top
  EXPECT_EQ(Occurrences(html, "<li>"), 2u);
  EXPECT_NE(html.find(">a.pdf</a>"), std::string::npos);
  EXPECT_NE(html.find("<html><body>hi</body></html>"), std::string::npos);
}

TEST_F(ProcessEmailTest, ItemsThatAreNotDetachedAreLeftAlone) {
  env.settings().AttachmentExtensions()->Add("zip");
  auto onlyExempt = env.AddMail({.subject = "z", .attachments = {{"c.zip", "C"}}});
  auto appointment =
      env.AddMail({.messageClass = "IPM.Appointment", .attachments = {{"a.pdf", "A"}}});
  auto none = env.AddMail({.subject = "none", .htmlBody = "<p>x</p>"});
  for (const auto& item : {onlyExempt, appointment, none}) ProcessEmail(item, false, "", false);
  env.factory.FailCreation("QLXLib.QLXMailItem");  // without the safe library, nothing
  ProcessEmail(env.AddMail({.attachments = {{"a.pdf", "A"}}}), false, "", false);
  env.factory.FailCreation("QLXLib.QLXMailItem", false);
  EXPECT_EQ(env.mem().faults().SaveCount(), 0);
  EXPECT_TRUE(env.ListFiles(folder).empty());
  EXPECT_TRUE(env.MessageTexts().empty());
  EXPECT_EQ(AttachmentNames(env.Reload(appointment)), std::vector<std::string>{"a.pdf"});
  // Reports qualify as notes do.
  ProcessEmail(
      env.AddMail({.messageClass = "REPORT.IPM.Note.NDR", .attachments = {{"r.txt", "r"}}}), true,
      "", false);
  EXPECT_EQ(env.ListFiles(folder), std::vector<std::string>{"r.txt"});
}

TEST_F(ProcessEmailTest, InlineImagesStayUnlessTreatedAsAttachments) {
  MailSpec mailSpec{.subject = "inline",
                    .htmlBody = "<p><img src=\"cid:img001\"></p>",
                    .attachments = {{"pic.png", "PNG", "img001"}, {"doc.pdf", "PDF"}}};
  auto kept = env.AddMail(mailSpec);
  ProcessEmail(kept, false, "", false);
  auto stored = env.Reload(kept);
  EXPECT_EQ(AttachmentNames(stored), std::vector<std::string>{"pic.png"});
  EXPECT_NE(stored->HTMLBody().find("cid:img001"), std::string::npos);
  EXPECT_EQ(env.ListFiles(folder), std::vector<std::string>{"doc.pdf"});

  env.settings().TreatInlineImagesAsAttachments = true;
  mailSpec.attachments = {{"pic.JPEG", "JPG", "img001"}, {"doc2.pdf", "PDF"}};
  auto processed = env.AddMail(mailSpec);
  ProcessEmail(processed, false, "", false);
  stored = env.Reload(processed);
  std::string html = stored->HTMLBody();
  EXPECT_EQ(html.find("cid:img001"), std::string::npos);
  EXPECT_NE(html.find("src=\"" + FileUrl(folder + "/pic.JPEG") + "\""), std::string::npos);
  auto lines = Lines(RecordsOf(stored));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], folder + "/pic.JPEG\tpic.JPEG\t-1\t3");
  // The block lists the PDF only.
  EXPECT_EQ(Occurrences(html, "<li>"), 1u);
  EXPECT_NE(html.find(">doc2.pdf</a>"), std::string::npos);
}

TEST_F(ProcessEmailTest, NoFileStaysWhenTheMailKeepsItsAttachments) {
  // Only a kept inline image: the item is not saved, and its file goes again.
  env.settings().TreatInlineImagesAsAttachments = true;
  auto item =
      env.AddMail({.htmlBody = "<img src=\"cid:x1\">", .attachments = {{"only.gif", "GIF", "x1"}}});
  ProcessEmail(item, false, "", false);
  ProcessEmail(item, false, "", false);
  EXPECT_TRUE(env.ListFiles(folder).empty());
  EXPECT_EQ(env.mem().faults().SaveCount(), 0);
  EXPECT_EQ(AttachmentNames(env.Reload(item)), std::vector<std::string>{"only.gif"});
  EXPECT_EQ(env.LastOutcome().left, ItemOutcome::Left::kNothingToDo);

  // The folder flush before the attachments are taken out fails: the mail keeps them.
  env.fs().Fail(mem::FsOp::SyncFolder, folder, errnum::kDiskFull);
  auto second = env.AddMail({.attachments = {{"a.pdf", "A"}, {"b.pdf", "B"}}});
  ProcessEmail(second, false, "", false);
  EXPECT_TRUE(env.ListFiles(folder).empty());
  auto stored = env.Reload(second);
  EXPECT_EQ(AttachmentNames(stored), (std::vector<std::string>{"a.pdf", "b.pdf"}));
  EXPECT_FALSE(IsProcessed(stored));
  EXPECT_EQ(env.LastOutcome().left, ItemOutcome::Left::kFailed);
  EXPECT_NE(env.MessageTexts().back().find("Cannot flush the attachment folder " + folder),
            std::string::npos);
}

TEST_F(ProcessEmailTest, PlainTextMailBecomesHtmlWithTheBlockAfterIt) {
  env.settings().AttachmentLocationOption = 1;
  auto item = env.AddMail({.body = "Plain words", .attachments = {{"a.txt", "t"}}});
  ProcessEmail(item, false, "", false);
  std::string html = env.Reload(item)->HTMLBody();
  EXPECT_EQ(html.find("Plain words<br><table id=tableKZOSTART"), 0u);
  EXPECT_EQ(html.substr(html.size() - 15), kBlockEndComment);
}

TEST_F(ProcessEmailTest, SameNameTwiceGetsAPrefixAndNeverReplacesAFile) {
  env.WriteFile(folder + "/old.pdf", "someone else's");
  auto item =
      env.AddMail({.attachments = {{"dup.pdf", "one"}, {"dup.pdf", "two"}, {"old.pdf", "new"}}});
  ProcessEmail(item, false, "", false);
  auto files = env.ListFiles(folder);
  ASSERT_EQ(files.size(), 4u);
  EXPECT_EQ(env.ReadFile(folder + "/dup.pdf"), "one");
  EXPECT_EQ(env.ReadFile(folder + "/old.pdf"), "someone else's");
  std::regex prefixed(R"(\d{5}_(dup|old)\.pdf)");
  int matches = 0;
  for (const auto& f : files) {
    if (std::regex_match(f, prefixed)) {
      ++matches;
      EXPECT_EQ(env.ReadFile(folder + "/" + f), f.find("dup") != std::string::npos ? "two" : "new");
    }
  }
  EXPECT_EQ(matches, 2);
  EXPECT_TRUE(env.Reload(item)->Attachments()->Count() == 1);  // the token
}

TEST_F(ProcessEmailTest, AFileNamedByAnEarlierDetachButGoneGetsTheNewRecord) {
  auto item = env.AddMail({.attachments = {{"notes.txt", "N"}}});
  ProcessEmail(item, false, "", false);
  std::filesystem::remove(folder + "/notes.txt");
  auto stored = env.Reload(item);
  env.WriteFile(env.Root() + "/notes.txt", "NEWER");
  stored->Attachments()->Add(env.Root() + "/notes.txt", "");
  stored->Save();
  ProcessEmail(stored, false, "", false);
  EXPECT_EQ(env.ReadFile(folder + "/notes.txt"), "NEWER");
  EXPECT_EQ(RecordsOf(env.Reload(item)), folder + "/notes.txt\tnotes.txt\t0\t5");
}

// A file-system object on which another process creates a file right after the
// existence check: the check says "free", the name is taken when the file lands.
class RacingFileSystem : public mem::FaultyFileSystem {
 public:
  using FaultyFileSystem::FaultyFileSystem;
  bool FileExists(const std::string& path) override {
    if (path == raced) return false;
    return FaultyFileSystem::FileExists(path);
  }
  std::string raced;
};

TEST_F(ProcessEmailTest, AFileThatAppearsAfterTheCheckIsNotReplaced) {
  auto racing = std::make_shared<RacingFileSystem>(
      ComCast<platform::FileSystemObject>(env.fs().Inner().shared_from_this()));
  racing->raced = folder + "/report.pdf";
  env.WriteFile(racing->raced, "the other mail's file");
  modGlobal::objFSO = racing;
  auto item = env.AddMail({.attachments = {{"report.pdf", "mine"}}});
  ProcessEmail(item, false, "", false);
  EXPECT_EQ(env.ReadFile(folder + "/report.pdf"), "the other mail's file");
  auto lines = Lines(RecordsOf(env.Reload(item)));
  ASSERT_EQ(lines.size(), 1u);
  std::string saved = lines[0].substr(0, lines[0].find('\t'));
  EXPECT_NE(saved, racing->raced);
  EXPECT_EQ(env.ReadFile(saved), "mine");
}

// Remembers, at each flush of a folder, how many moves and item saves had happened.
class FlushWatchingFileSystem : public mem::FaultyFileSystem {
 public:
  FlushWatchingFileSystem(std::shared_ptr<platform::FileSystemObject> inner,
                          std::function<int()> saves)
      : FaultyFileSystem(std::move(inner)), saves_(std::move(saves)) {}
  void SyncFolder(const std::string& path) override {
    flushes.push_back({path, CallCount(mem::FsOp::MoveNoReplace), saves_()});
    FaultyFileSystem::SyncFolder(path);
  }
  struct Flush {
    std::string path;
    int movesBefore, savesBefore;
  };
  std::vector<Flush> flushes;

 private:
  std::function<int()> saves_;
};

TEST_F(ProcessEmailTest, SavedFilesAreOnDiskBeforeTheMailLosesThemWithOneFolderFlush) {
  auto watching = std::make_shared<FlushWatchingFileSystem>(
      ComCast<platform::FileSystemObject>(env.fs().Inner().shared_from_this()),
      [this] { return env.mem().faults().SaveCount(); });
  modGlobal::objFSO = watching;
  auto item = env.AddMail({.attachments = {{"a.pdf", "A"}, {"b.pdf", "B"}, {"c.pdf", "C"}}});
  int savesBefore = env.mem().faults().SaveCount();
  ProcessEmail(item, false, "", false);
  ASSERT_EQ(watching->CallCount(mem::FsOp::MoveNoReplace), 3);
  // Each file's bytes were flushed under its partial name before it took its own.
  auto syncs = watching->CallsOf(mem::FsOp::SyncFile);
  for (const auto& move : watching->CallsOf(mem::FsOp::MoveNoReplace))
    EXPECT_TRUE(std::any_of(syncs.begin(), syncs.end(), [&](const mem::FsCall& c) {
      return c.path == move.path;
    })) << move.path;
  std::vector<FlushWatchingFileSystem::Flush> ofFolder;
  for (const auto& f : watching->flushes)
    if (f.path == folder) ofFolder.push_back(f);
  ASSERT_EQ(ofFolder.size(), 1u) << "one flush of the folder for the whole mail";
  EXPECT_EQ(ofFolder[0].movesBefore, 3) << "after every file is in place";
  EXPECT_EQ(ofFolder[0].savesBefore, savesBefore) << "before the mail is saved";
  EXPECT_EQ(env.mem().faults().SaveCount(), savesBefore + 1) << "one save, token included";
  EXPECT_EQ(AttachmentNames(env.Reload(item)), std::vector<std::string>{kTokenFileName});

  // A batch shares the flushes of its mails: every file's bytes before any name, one
  // folder flush after every name and before any save, each mail saved once.
  watching->ClearCalls();
  watching->flushes.clear();
  std::vector<std::shared_ptr<om::Item>> mails;
  for (const char* n : {"d", "e", "f"})
    mails.push_back(
        env.AddMail({.subject = n,
                     .attachments = {{n + std::string(".pdf"), n},
                                     {n + std::string(".txt"), n + std::string("t")}}}));
  savesBefore = env.mem().faults().SaveCount();
  env.Outcomes().clear();
  {
    DetachBatch batch;
    for (const auto& m : mails) {
      ProcessEmail(m, false, "", false);
      if (m == mails[0]) ProcessEmail(env.AddMail({.subject = "none"}), false, "", false);
    }
    EXPECT_EQ(env.mem().faults().SaveCount(), savesBefore) << "no mail saved before the end";
  }
  std::vector<std::string> order;
  for (const auto& o : env.Outcomes()) order.push_back(o.subject);
  EXPECT_EQ(order, (std::vector<std::string>{"d", "none", "e", "f"})) << "outcomes in turn";
  const auto& calls = watching->Calls();
  auto firstMove = std::find_if(calls.begin(), calls.end(), [](const mem::FsCall& c) {
    return c.op == mem::FsOp::MoveNoReplace;
  });
  auto moves = watching->CallsOf(mem::FsOp::MoveNoReplace);
  ASSERT_EQ(moves.size(), 6u);
  for (const auto& move : moves)
    EXPECT_TRUE(std::any_of(calls.begin(), firstMove, [&](const mem::FsCall& c) {
      return c.op == mem::FsOp::SyncFile && c.path == move.path;
    })) << move.path;
  ASSERT_EQ(watching->flushes.size(), 1u);
  EXPECT_EQ(watching->flushes[0].movesBefore, 6);
  EXPECT_EQ(watching->flushes[0].savesBefore, savesBefore);
  EXPECT_EQ(env.mem().faults().SaveCount(), savesBefore + 3);
  for (const auto& m : mails) EXPECT_TRUE(IsProcessed(env.Reload(m)));
  // Files that waited under working names are found by their own names afterwards.
  ProcessEmail(env.AddMail({.attachments = {{"again.txt", "ft"}}}), false, "", false);
  EXPECT_TRUE(env.LastOutcome().saved.at(0).linked);

  // A flush that fails fails only the mail whose file it was, and is not tried
  // again: the system reports a lost write once.
  watching->FailAll(mem::FsOp::SyncFile, errnum::kDiskFull, 1);
  for (auto& m : mails) m = env.AddMail({.attachments = {{"g.pdf", "G"}}});
  watching->ClearCalls();
  {
    DetachBatch batch;
    for (const auto& m : mails) ProcessEmail(m, false, "", false);
  }
  EXPECT_EQ(watching->CallCount(mem::FsOp::SyncFile), 3);
  EXPECT_EQ(AttachmentNames(env.Reload(mails[0])), std::vector<std::string>{"g.pdf"});
  EXPECT_EQ(env.MessageTexts().back(),
            "Cannot save the attachment 'g.pdf' into " + folder + ": Disk full");
  EXPECT_FALSE(IsProcessed(env.Reload(mails[0])));
  EXPECT_TRUE(IsProcessed(env.Reload(mails[1])));
  EXPECT_TRUE(IsProcessed(env.Reload(mails[2])));
  EXPECT_EQ(env.ListFiles(folder).size(), 3u + 6u + 1u + 2u) << "no file of the first mail stays";
}

TEST_F(ProcessEmailTest, NothingHalfWrittenAndUnwritableNamesFallBack) {
  // The first save fails: the unreadable-name form is used; no partial file stays.
  env.mem().faults().FailAttachmentSave("x.pdf", errnum::kDiskFull, 1);
  std::string longName(300, 'n');
  longName += ".pdf";
  auto item = env.AddMail({.attachments = {{"x.pdf", "X"}, {longName, "L"}}});
  ProcessEmail(item, false, "", false);
  auto files = env.ListFiles(folder);
  ASSERT_EQ(files.size(), 2u);
  std::regex fallback(R"(NAME_UNRETRIEVABLE_\d{5}\.pdf)");
  for (const auto& f : files) EXPECT_TRUE(std::regex_match(f, fallback)) << f;

  // Both names failing: the attachment stays in the item, nothing is recorded.
  env.mem().faults().FailAttachmentSave("y.pdf", errnum::kPermissionDenied, 2);
  auto second = env.AddMail({.attachments = {{"y.pdf", "Y"}, {"z.pdf", "Z"}}});
  ProcessEmail(second, false, "", false);
  auto stored = env.Reload(second);
  EXPECT_EQ(AttachmentNames(stored), std::vector<std::string>{"y.pdf"});
  EXPECT_EQ(Lines(RecordsOf(stored)).size(), 1u);
  EXPECT_EQ(env.ListFiles(folder).size(), 3u);
}

TEST_F(ProcessEmailTest, AbandonedWorkingFilesAreSweptAndNoAttachmentEverIs) {
  // A writer that died before moving its working files into place: its portable one
  // is kept, the other is litter. This process's own working file and the user's
  // files are kept.
  ASSERT_EQ(
      WaitExit(Spawn([&] {
        env.fs().WriteNewFile(folder + "/" + env.fs().NewWorkingFileName(folder, false), "litter");
        env.fs().WriteNewFile(folder + "/" + env.fs().NewWorkingFileName(folder, true), "keep");
        return true;
      })),
      0);
  env.WriteFile(folder + "/" + env.fs().NewWorkingFileName(folder, false), "keep");
  env.WriteFile(folder + "/user.txt", "keep");
  std::string litter;
  for (const auto& name : env.ListFiles(folder))
    if (env.ReadFile(folder + "/" + name) == "litter") litter = name;
  ASSERT_FALSE(litter.empty());

  // A sender cannot name an attachment after a working file.
  auto item = env.AddMail({.attachments = {{"a.pdf", "A"}, {litter, "P"}}});
  ProcessEmail(item, false, "", false);
  std::map<std::string, int> contents;
  for (const auto& name : env.ListFiles(folder)) {
    ++contents[env.ReadFile(folder + "/" + name)];
    EXPECT_FALSE(env.fs().IsAbandonedWorkingFile(name)) << name;
  }
  EXPECT_EQ(contents, (std::map<std::string, int>{{"A", 1}, {"P", 1}, {"keep", 3}}));
  EXPECT_EQ(env.ReadFile(folder + "/a.pdf"), "A");
}

// A record is a line of TAB-separated fields: a name may not break it.
TEST_F(ProcessEmailTest, NamesWithTabsOrLineBreaksAreRecordedWithBlanks) {
  auto item = env.AddMail({.attachments = {{"a\tb.pdf", "T"}, {"c\r\nd.pdf", "N"}}});
  ProcessEmail(item, false, "", false);
  std::string records = RecordsOf(env.Reload(item));
  auto lines = Lines(records);
  ASSERT_EQ(lines.size(), 2u) << records;
  for (const auto& line : lines) EXPECT_EQ(std::count(line.begin(), line.end(), '\t'), 3) << line;
  EXPECT_NE(records.find("\ta b.pdf\t"), std::string::npos) << records;
  EXPECT_NE(records.find("\tc  d.pdf\t"), std::string::npos) << records;
}

TEST_F(ProcessEmailTest, TokenAfterTheLastAttachmentSkippedNextTimeAndNeverAPlantedOne) {
  auto item = env.AddMail({.attachments = {{"a.pdf", "A"}}});
  ProcessEmail(item, false, "", false);
  auto stored = env.Reload(item);
  ASSERT_EQ(AttachmentNames(stored), std::vector<std::string>{kTokenFileName});
  auto token = AttachmentNamed(stored, kTokenFileName);
  EXPECT_EQ(token->Size(), 1);
  EXPECT_TRUE(ToBool(token->Field(om::PR_ATTACHMENT_HIDDEN)));
  EXPECT_EQ(env.ReadFile(env.TempFolder() + "/" + kTokenFileName), "i");

  // The user adds a file and detaches again: the token is not saved, the first
  // records stay, and a second block joins the first.
  env.WriteFile(env.Root() + "/b.doc", "B");
  stored->Attachments()->Add(env.Root() + "/b.doc", "");
  stored->Save();
  ProcessEmail(stored, false, "", false);
  auto again = env.Reload(item);
  EXPECT_EQ(env.ListFiles(folder), (std::vector<std::string>{"a.pdf", "b.doc"}));
  EXPECT_EQ(AttachmentNames(again), std::vector<std::string>{kTokenFileName});
  EXPECT_EQ(RecordsOf(again), folder + "/a.pdf\ta.pdf\t0\t1\r\n" + folder + "/b.doc\tb.doc\t0\t1");
  EXPECT_EQ(Occurrences(again->HTMLBody(), kBlockEndComment), 2u);

  // A token file planted by another user is never attached, nor replaced: the token
  // goes to a folder of its own.
  env.WriteFile(env.TempFolder() + "/" + kTokenFileName, "secret of another user");
  auto next = env.AddMail({.attachments = {{"c.pdf", "C"}}});
  ProcessEmail(next, false, "", false);
  ASSERT_TRUE(AttachmentNamed(env.Reload(next), kTokenFileName));
  EXPECT_EQ(AttachmentNamed(env.Reload(next), kTokenFileName)->Size(), 1);
  EXPECT_EQ(env.ReadFile(env.TempFolder() + "/" + kTokenFileName), "secret of another user");
}

TEST_F(ProcessEmailTest, SaveDeniedKeepsTheItemAndRemovesTheCopies) {
  auto item =
      env.AddMail({.htmlBody = "<p>b</p>", .attachments = {{"a.pdf", "A"}, {"b.pdf", "B"}}});
  env.mem().faults().FailSave(item->EntryID(), errnum::kAccessDenied, -1);
  ProcessEmail(item, false, "", false);
  EXPECT_EQ(env.MessageTexts(),
            std::vector<std::string>{"Not enough permission to save the selected item!"});
  EXPECT_EQ(env.ui.MessageBoxes()[0].style, ui::vbCritical);
  EXPECT_EQ(env.ui.MessageBoxes()[0].title, "Stowbright for Outlook");
  EXPECT_TRUE(env.ListFiles(folder).empty());
  auto stored = env.Reload(item);
  EXPECT_EQ(AttachmentNames(stored), (std::vector<std::string>{"a.pdf", "b.pdf"}));
  EXPECT_FALSE(IsProcessed(stored));

  // A monitor gets no message.
  auto monitored = env.AddMail({.attachments = {{"c.pdf", "C"}}});
  env.mem().faults().FailSave(monitored->EntryID(), errnum::kAccessDenied, -1);
  ProcessEmail(monitored, true, "", false);
  EXPECT_EQ(env.MessageTexts().size(), 1u);
  EXPECT_TRUE(env.ListFiles(folder).empty());
}

TEST_F(ProcessEmailTest, MissingFolderMessagesByFolderOption) {
  env.SetSetting("AttachmentFolderPath", env.Root() + "/nowhere");
  auto item = env.AddMail({.attachments = {{"a.pdf", "A"}}});
  ProcessEmail(item, true, "", false);
  env.SetSetting("AttachmentFolderOption", "0");
  ProcessEmail(item, false, "", false);
  EXPECT_EQ(
      env.MessageTexts(),
      (std::vector<std::string>{
          "You have not specified the attachment file folder to store the detached files yet!",
          "You have not specified an attachment file folder for 'Inbox' folder yet!\r\n\r\n"
          "Click the button 'Specify Attachment Folder...' to set one and then continue."}));
  EXPECT_EQ(env.mem().faults().SaveCount(), 0);

  // Per-folder option with the folder stored for the Inbox.
  std::string perFolder = env.MakeFolder("inbox-files");
  env.UsePerFolderAttachmentFolder(env.Inbox(), perFolder);
  ProcessEmail(item, false, "", false);
  EXPECT_EQ(env.ListFiles(perFolder), std::vector<std::string>{"a.pdf"});
}

TEST_F(ProcessEmailTest, CustomFolderComesFromThePickerOrTheCallerAndCancelEndsWithTheMessage) {
  std::string custom = env.MakeFolder("custom");
  env.OpenExplorer();
  env.ui.QueueFolder(custom);
  auto item = env.AddMail({.attachments = {{"a.pdf", "A"}}});
  ProcessEmail(item, false, "", true);
  EXPECT_EQ(env.ListFiles(custom), std::vector<std::string>{"a.pdf"});
  ASSERT_EQ(env.ui.Browses().size(), 1u);
  EXPECT_EQ(env.ui.Browses()[0].title, "Select a file folder to save the attachments to");

  auto cancelled = env.AddMail({.attachments = {{"b.pdf", "B"}}});
  ProcessEmail(cancelled, false, "", true);
  ASSERT_EQ(env.MessageTexts().size(), 1u);
  EXPECT_EQ(env.MessageTexts()[0].rfind("You have not specified", 0), 0u);

  // No attachment: no picker, no message.
  auto none = env.AddMail({.subject = "none"});
  ProcessEmail(none, false, "", true);
  EXPECT_EQ(env.ui.Browses().size(), 2u);
  EXPECT_EQ(env.MessageTexts().size(), 1u);

  // A folder given by the caller is used as it is (but for one trailing separator).
  auto given = env.AddMail({.attachments = {{"g.pdf", "G"}}});
  ProcessEmail(given, false, custom + "//", false);
  EXPECT_EQ(RecordsOf(env.Reload(given)), custom + "//g.pdf\tg.pdf\t0\t1");
}

// The same bytes are stored once: a new name that is a second name of a file of the
// folder's tree with those bytes, never of one of the same size with other bytes, nor
// of one changed since it was saved (also after its print was taken).
TEST_F(ProcessEmailTest, IdenticalAttachmentsAreStoredOnceUnderNamesOfTheirOwn) {
  namespace fs = std::filesystem;
  fs::create_directory(folder + "/old");
  std::ofstream(folder + "/old/x.bin") << "SAME-BYTES";
  auto one = env.AddMail(
      {.subject = "one", .attachments = {{"a.pdf", "SAME-BYTES"}, {"b.pdf", "OTHER-BYTE"}}});
  auto two = env.AddMail({.subject = "two", .attachments = {{"c.pdf", "OTHER-BYTE"}}});
  ProcessEmail(one, false, "", false);
  auto& first = env.LastOutcome().saved;
  ASSERT_EQ(first.size(), 2u);
  EXPECT_TRUE(first[0].linked);
  EXPECT_FALSE(first[1].linked);
  ProcessEmail(two, false, "", false);
  EXPECT_TRUE(env.LastOutcome().saved.at(0).linked);
  EXPECT_TRUE(fs::equivalent(folder + "/a.pdf", folder + "/old/x.bin"));
  EXPECT_TRUE(fs::equivalent(folder + "/c.pdf", folder + "/b.pdf"));
  EXPECT_EQ(env.ReadFile(folder + "/c.pdf"), "OTHER-BYTE");

  std::ofstream(folder + "/b.pdf") << "CHANGED!!!";
  auto three = env.AddMail({.subject = "three", .attachments = {{"d.pdf", "OTHER-BYTE"}}});
  env.fs().ClearCalls();
  ProcessEmail(three, false, "", false);
  EXPECT_FALSE(env.LastOutcome().saved.at(0).linked);
  // Of the four files of that size, only the one whose bytes looked the same when they
  // were first read is tried (the others were told apart by their prints).
  EXPECT_EQ(env.fs().CallCount(mem::FsOp::HardLink), 1);
  EXPECT_EQ(fs::hard_link_count(folder + "/d.pdf"), 1u);
  EXPECT_EQ(env.ReadFile(folder + "/d.pdf"), "OTHER-BYTE");
  // Each name goes on its own, also when one mail holds both.
  fs::remove(folder + "/a.pdf");
  EXPECT_EQ(env.ReadFile(folder + "/old/x.bin"), "SAME-BYTES");
  auto twice = env.AddMail({.subject = "twice", .attachments = {{"e", "TWICE"}, {"f", "TWICE"}}});
  ProcessEmail(twice, false, "", false);
  ReAttachFiles(env.Reload(twice), false, "");
  EXPECT_TRUE(env.LastOutcome().failed.empty()) << env.LastOutcome().failed.at(0).reason;
  EXPECT_EQ(env.LastOutcome().trashed.size(), 2u);
}

// Where the folder takes no second name (another file system, links refused), the
// file written is kept and nothing of the attempt stays.
TEST_F(ProcessEmailTest, WhereNoSecondNameCanBeMadeTheCopyStays) {
  env.fs().FailAll(mem::FsOp::HardLink, 74);
  for (const char* subject : {"one", "two"})
    ProcessEmail(env.AddMail({.subject = subject, .attachments = {{"r.pdf", "SAME"}}}), false, "",
                 false);
  EXPECT_FALSE(env.LastOutcome().saved.at(0).linked);
  std::size_t names = 0;
  for (const auto& e : std::filesystem::directory_iterator(folder)) {
    ++names;
    EXPECT_EQ(std::filesystem::hard_link_count(e.path()), 1u) << e.path();
    EXPECT_EQ(env.ReadFile(e.path().string()), "SAME");
  }
  EXPECT_EQ(names, 2u);
}

TEST(IsImageFile, KnownImageExtensionsInAnyCase) {
  for (const char* name : {"a.bmp", "b.PNG", "c.Gif", "d.jpg", "e.JPEG"})
    EXPECT_TRUE(IsImageFile(name));
  for (const char* name : {"a.tiff", "png", "b.pdf", "c.jpeg.txt"}) EXPECT_FALSE(IsImageFile(name));
}

}  // namespace
}  // namespace stow::testing
