// The header reading without GMime must agree with GMime on every header block it
// accepts, and hand every other block back to GMime.

#include "platform/maildir/fast_scan.h"

#include <fcntl.h>
#include <gmime/gmime.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "maildir/maildir_fixture.h"
#include "platform/maildir/mark_cache.h"
#include "platform/maildir/mime.h"

namespace stow::maildir::testing {
namespace {

// What GMime reads from the same header block: the raw values of name and the
// Message-ID.
struct GMimeView {
  std::vector<std::string> values;
  std::string messageId;
};

class FastScanTest : public MaildirTest {
 protected:
  GMimeView ByGMime(const std::string& text, const std::string& name) {
    fs::path file = dir_ / ("gmime-" + std::to_string(++files_));
    WriteAll(file, text);
    auto doc = mime::Document::ParseHeaders(file.string());
    GMimeView v;
    v.values = mime::RawHeaders(doc->message(), name.c_str());
    const char* id = g_mime_message_get_message_id(doc->message());
    v.messageId = id ? id : "";
    return v;
  }
  int files_ = 0;
};

TEST_F(FastScanTest, AgreesWithGMimeOnOrdinaryHeaderBlocks) {
  const std::string sig = "X-Stowbright-Billing: v=1; value=S1pP\n  X1BS; mac=ab12\n";
  const std::vector<std::string> blocks = {
      "Message-ID: <a.1@example.org>\nSubject: s\n" + sig + "\nbody\n",
      // folded, with a comment, in another letter case, CR LF line ends
      "message-id:\r\n   <b.2@example.org> (sent by x)\r\nx-stowbright-billing: "
      "v=1;\r\n\tvalue=QQ==; "
      "mac=00\r\n\r\nbody\r\n",
      // no angle brackets; two Message-ID fields; two billing fields
      "Message-ID: c.3@example.org\nMessage-ID: <d.4@example.org>\n" + sig + sig + "\n",
      // none of the fields looked for; headers only, no body
      "Subject: nothing\nFrom: a@b.example\n",
      // blanks around values and an empty value
      "Message-ID:    <e.5@example.org>   \nX-Stowbright-Billing:\nTo: r@x.example\n\nb\n",
  };
  for (const auto& text : blocks) {
    auto quick = scan::ParseSimpleHeaderBlock(text);
    ASSERT_TRUE(quick) << text;
    GMimeView slow = ByGMime(text, "X-Stowbright-Billing");
    EXPECT_EQ(quick->Values("X-Stowbright-Billing"), slow.values) << text;
    EXPECT_EQ(quick->MessageId(), slow.messageId) << text;
    // Keeping only the fields asked for gives the same answers.
    auto only = scan::ParseSimpleHeaderBlock(text, {"x-stowbright-billing", "MESSAGE-ID"});
    ASSERT_TRUE(only);
    EXPECT_EQ(only->Values("X-Stowbright-Billing"), slow.values) << text;
    EXPECT_EQ(only->MessageId(), slow.messageId) << text;
  }
}

TEST_F(FastScanTest, UnusualHeaderBlocksAreLeftToGMime) {
  const std::vector<std::string> unusual = {
      "From sender@example.org Mon Jan  1 00:00:00 2024\nSubject: mbox\n\n",
      "Subject : blank before the colon\n\n",
      " continuation first\nSubject: x\n\n",
      "Subject: a lone\rcarriage return\n\n",
      std::string("Subject: a NUL\0 inside\n\n", 24),
      "Sub\xC3\xA9ject: an 8-bit name\n\n",
      "no colon at all\n\n",
      ": empty name\n\n",
  };
  for (const auto& text : unusual) EXPECT_FALSE(scan::ParseSimpleHeaderBlock(text)) << text;
  // A damaged body does not matter: only the header block is read.
  EXPECT_TRUE(scan::ParseSimpleHeaderBlock("Subject: x\n\nFrom nobody\n\0\r oops"));
}

TEST_F(FastScanTest, ReadsOnlyTheHeaderBlockOfAFile) {
  fs::path file = dir_ / "m";
  WriteAll(file, "Message-ID: <f@x>\nSubject: s\n\nX-Stowbright-Billing: in the body\n");
  int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  auto block = scan::ReadSimpleHeaderBlock(fd);
  close(fd);
  ASSERT_TRUE(block);
  EXPECT_TRUE(block->Values("X-Stowbright-Billing").empty());
  EXPECT_EQ(block->MessageId(), "f@x");
  // A header block longer than the limit is GMime's to read.
  WriteAll(file, "Subject: " + std::string(5000, 'x') + "\n\nbody\n");
  fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
  EXPECT_FALSE(scan::ReadSimpleHeaderBlock(fd, {}, 1000));
  close(fd);
}

TEST_F(FastScanTest, MentionsFindsTheNeedleAnywhereInAnyCase) {
  fs::path file = dir_ / "big";
  const std::string needle = "text/calendar";
  auto mentions = [&] {
    int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
    bool found = scan::Mentions(fd, needle);
    close(fd);
    return found;
  };
  // Around the reader's 64 KiB buffer boundary, at the very start and at the end.
  for (std::size_t at : {std::size_t{0}, std::size_t{65536 - 6}, std::size_t{65536 - 4},
                         std::size_t{65536}, std::size_t{3 * 65536 - 13}}) {
    std::string text(3 * 65536, 'a');
    for (std::size_t i = 0; i < text.size(); i += 61) text[i] = '/';  // many false starts
    text.replace(at, needle.size(), "TEXT/Calendar");
    WriteAll(file, text);
    EXPECT_TRUE(mentions()) << at;
  }
  WriteAll(file, std::string(200000, '/') + "text/calenda");
  EXPECT_FALSE(mentions());
}

// The store answers BillingInformation the same whichever way it read the headers.
TEST_F(FastScanTest, BillingReadsTheSameWithAndWithoutGMime) {
  const std::string head = "Message-ID: <p1@example.org>\nFrom: a@example.org\n";
  auto item = ItemAt(Deliver(head + "Subject: p\nContent-Type: text/plain\n\nhi\n"));
  EXPECT_EQ(item->BillingInformation(), "");
  item->SetBillingInformation("KZO_PROCESSED_ITEM");
  item->Save();
  fs::path saved = root_ / InboxFiles().at(0);
  // Read without GMime: a fresh item over the file.
  EXPECT_EQ(ItemAt(saved)->BillingInformation(), "KZO_PROCESSED_ITEM");
  // Read after a full parse.
  auto parsed = ItemAt(saved);
  parsed->Attachments();
  EXPECT_EQ(parsed->BillingInformation(), "KZO_PROCESSED_ITEM");
  // Header blocks the quick reader refuses go to GMime: the answer is the one of a
  // full parse of the same file.
  std::string text = ReadAll(saved);
  for (const std::string& odd : {"From a@example.org Mon Jan  1 00:00:00 2024\n" + text,
                                 "X-Note : blank before the colon\n" + text}) {
    fs::path file = Deliver(odd);
    auto full = ItemAt(file);
    full->Attachments();
    EXPECT_EQ(ItemAt(file)->BillingInformation(), full->BillingInformation()) << odd;
  }
  EXPECT_EQ(ItemAt(Deliver("X-Note : x\n" + text))->BillingInformation(), "KZO_PROCESSED_ITEM");
  // A changed Message-ID voids the signature on both ways.
  std::string moved = text;
  moved.replace(moved.find("p1@example.org"), 14, "p2@example.org");
  EXPECT_EQ(ItemAt(Deliver(moved))->BillingInformation(), "");
}

// A later run takes a message's mark from the cache only for the very file it was
// read from; any change to the file has it read again.
TEST_F(FastScanTest, MarksComeFromTheCacheOnlyForTheFileTheyWereReadFrom) {
  setenv("XDG_CACHE_HOME", (dir_ / "cache").c_str(), 1);
  auto item = ItemAt(Deliver("Message-ID: <c1@example.org>\nSubject: c\n\nhi\n"));
  item->SetBillingInformation("KZO_PROCESSED_ITEM");
  item->Save();
  item.reset();
  std::string name = InboxFiles().at(0).substr(4);
  auto openRun = [&] {
    Options o;
    o.cacheMarks = true;
    return OpenStore(o);
  };
  auto markInRun = [&] {
    auto run = openRun();
    // A folder walk hands its item the file status it found it by; an item made
    // alone looks at the file itself. Both take the cache on the same terms.
    auto walked = run->FolderItems(run->RefFor({"Inbox"}))->Enumerate()->Next();
    std::string mark = walked->BillingInformation();
    EXPECT_EQ(run->MakeItem(run->RefFor({"Inbox"}), "cur", name)->BillingInformation(), mark);
    return mark;
  };
  EXPECT_EQ(markInRun(), "KZO_PROCESSED_ITEM");
  fs::path cache = fs::directory_iterator(dir_ / "cache" / "stowbright")->path();
  std::string kept = ReadAll(cache);
  kept.replace(kept.find("KZO_PROCESSED_ITEM"), 18, "FROM_THE_CACHE_ONE");
  WriteAll(cache, kept);
  EXPECT_EQ(markInRun(), "FROM_THE_CACHE_ONE");
  // The same name and size, another content: read from the mail again, also by an
  // item a walk found before the change and kept.
  auto run = openRun();
  auto held = run->FolderItems(run->RefFor({"Inbox"}))->Enumerate()->Next();
  fs::path file = root_ / "cur" / name;
  std::string text = ReadAll(file);
  text.replace(text.find("c1@example.org"), 14, "c2@example.org");
  WriteAll(file, text);
  std::this_thread::sleep_for(std::chrono::milliseconds(250));
  EXPECT_EQ(held->BillingInformation(), "");
  EXPECT_EQ(markInRun(), "");
  unsetenv("XDG_CACHE_HOME");
}

// The cache answers for any file in any order, keeps its lines in the order the last
// run asked in (the next walk then meets them one after the other), forgets the files
// a whole walk of their folder did not meet, and is not written again when nothing
// changed.
TEST_F(FastScanTest, TheMarkCacheAnswersInAnyOrderAndKeepsTheLastRunsOrder) {
  std::string file = (dir_ / "marks.tsv").string();
  WriteAll(file, "/m/a/cur/1\tk1\tA\n/m/a/cur/2\tk2\tB\n/m/b/cur/9\tk9\tZ\n/m/a/cur/3\tk3\tC\n");
  {
    MarkCache cache(file);
    cache.Prefetch();
    EXPECT_EQ(cache.Find("/m/a/cur/3", "k3"), "C");
    EXPECT_EQ(cache.Find("/m/a/cur/2", "k2x"), std::nullopt);
    cache.Remember("/m/a/cur/2", "k2x", "B2");
    cache.Remember("/m/a/cur/4", "k4", "D");
    EXPECT_EQ(cache.Find("/m/a/cur/5", "k5"), std::nullopt);
    EXPECT_EQ(cache.Find("/m/a/cur/4", "k4"), "D");
    cache.Walked("/m/a");
  }
  const std::string reordered =
      "/m/a/cur/3\tk3\tC\n/m/a/cur/2\tk2x\tB2\n/m/a/cur/4\tk4\tD\n/m/b/cur/9\tk9\tZ\n";
  EXPECT_EQ(ReadAll(file), reordered);
  struct stat before {};
  stat(file.c_str(), &before);
  {
    MarkCache cache(file);
    for (auto [path, key, mark] : {std::array<const char*, 3>{"/m/a/cur/3", "k3", "C"},
                                   {"/m/a/cur/2", "k2x", "B2"},
                                   {"/m/a/cur/4", "k4", "D"}})
      EXPECT_EQ(cache.Find(path, key), mark);
    cache.Walked("/m/a");
  }
  struct stat after {};
  stat(file.c_str(), &after);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(ReadAll(file), reordered);
}

// A message's version key is the text the cache files of earlier runs hold.
TEST(MarkCacheKeyTest, KeysReadAsTheCacheFilesWriteThem) {
  struct stat st {};
  for (auto [size, ino, sec, nsec] : std::vector<std::array<long long, 4>>{
           {0, 1, 0, 0}, {5234, 918273645, 1600000000, 7}, {1LL << 40, 3, -86400, 999999999}}) {
    st.st_size = size;
    st.st_ino = static_cast<ino_t>(ino);
    st.st_mtim = {sec, nsec};
    st.st_ctim = {sec + 1, nsec / 10};
    char old[160];
    std::snprintf(old, sizeof old, "%lld:%llu:%lld.%09ld:%lld.%09ld", size,
                  static_cast<unsigned long long>(ino), sec, static_cast<long>(nsec), sec + 1,
                  static_cast<long>(nsec / 10));
    EXPECT_EQ(MarkCache::KeyOf(st), old);
  }
}

}  // namespace
}  // namespace stow::maildir::testing
