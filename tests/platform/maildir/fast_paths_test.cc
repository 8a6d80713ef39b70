// The quick ways the store reads and writes: the in-memory parse of ordinary
// messages and the streamed one of big ones, the table-driven base64 decoder, and
// saves whose last flushes run in the background.

#include <glib.h>

#include "maildir/maildir_fixture.h"
#include "platform/maildir/background_queue.h"

namespace stow::maildir::testing {
namespace {

const std::string kShortHead =
    "From: a@example.org\nTo: b@example.org\nMessage-ID: <fast@example.org>\n";

std::string WithAttachment(const std::string& encoded, const std::string& name = "a.bin") {
  return kShortHead +
         "Subject: one\nContent-Type: multipart/mixed; boundary=M\n\n--M\n"
         "Content-Type: text/plain\n\nbody\n--M\nContent-Type: application/octet-stream; name=" +
         name + "\nContent-Transfer-Encoding: base64\n\n" + encoded + "\n--M--\n";
}

class FastPathsTest : public MaildirTest {
 protected:
  // What SaveAsFile writes for the message's one attachment; nullopt when it refuses.
  std::optional<std::string> Saved(const std::string& message) {
    auto item = ItemAt(Deliver(message));
    fs::path out = dir_ / ("out" + std::to_string(++outputs_));
    auto entries = [&] { return std::distance(fs::directory_iterator(dir_), {}); };
    auto before = entries();
    try {
      item->Attachments()->Item(1)->SaveAsFile(out.string());
    } catch (const ComError&) {
      EXPECT_EQ(entries(), before) << "no file, partial or whole, may be left";
      return std::nullopt;
    }
    return ReadAll(out);
  }
  int outputs_ = 0;
};

TEST_F(FastPathsTest, Base64InEveryLayoutDecodesToTheOriginalBytes) {
  for (std::size_t size : {0u, 1u, 2u, 3u, 4u, 5u, 56u, 57u, 58u, 1000u, 70001u}) {
    std::string bytes = SeededBytes(size, static_cast<unsigned>(size));
    std::string flat = Base64(bytes, "");
    // The same text wrapped at 76 with LF, at 64 with CR LF, with blanks inside groups.
    std::string lf, crlf, blanks;
    for (std::size_t i = 0; i < flat.size(); ++i) {
      if (i && i % 76 == 0) lf += '\n';
      if (i && i % 64 == 0) crlf += "\r\n";
      if (i % 7 == 3) blanks += (i % 2 ? ' ' : '\t');
      lf += flat[i];
      crlf += flat[i];
      blanks += flat[i];
    }
    for (const std::string& text : {flat, lf, crlf, blanks}) {
      auto got = Saved(WithAttachment(text));
      ASSERT_TRUE(got.has_value()) << "size " << size;
      EXPECT_EQ(*got, bytes) << "size " << size << " text " << text.substr(0, 40);
    }
  }
  // Chunks encoded one by one (each with its own padding) follow each other.
  std::string a = SeededBytes(100, 4), b = SeededBytes(101, 5);
  std::string chunks = WithAttachment(Base64(a, "\n") + Base64(b, "\n"));
  ASSERT_NE(Base64(a, "\n").find('='), std::string::npos);
  EXPECT_EQ(Saved(chunks), a + b);
  EXPECT_EQ(ItemAt(Deliver(chunks))->Attachments()->Item(1)->Size(), 201);
}

TEST_F(FastPathsTest, Base64ThatCannotBeDecodedFaithfullyIsRefused) {
  // The unpadded ends ("QUI", "QQ") may be text cut off: refused too.
  for (std::string bad : {"QUJD*", "QUJD\nQU*D", "QUJDQ", "QQ=A", "Q===", "=QUJ",
                          "QUI=QUJD=", "QQ=", "QU-D", "QUJD\xc3\xa9", "QUJDQUI", "QQ"}) {
    EXPECT_EQ(Saved(WithAttachment(bad)), std::nullopt) << bad;
  }
  // A padded group ends its chunk; the next group may follow.
  EXPECT_EQ(Saved(WithAttachment("QQ==QUJD")), std::string("AABC"));
}

TEST_F(FastPathsTest, MessagesAboveTheInMemoryLimitAreStreamedWhole) {
  // Just over the size read into memory in one go: the descriptor path must give
  // the same bytes, and the parse must see the attachment after the big one.
  std::string big = SeededBytes(12 * 1024 * 1024 + 5, 11);
  std::string small = SeededBytes(300, 12);
  std::string text = kShortHead +
                     "Subject: big\nContent-Type: multipart/mixed; boundary=M\n\n--M\n"
                     "Content-Type: text/plain\n\nbody\n--M\nContent-Type: "
                     "application/octet-stream; name=big.bin\nContent-Transfer-Encoding: "
                     "base64\n\n" +
                     Base64(big, "") +
                     "\n--M\nContent-Type: application/octet-stream; name=small.bin\n"
                     "Content-Transfer-Encoding: base64\n\n" +
                     Base64(small, "") + "\n--M--\n";
  ASSERT_GT(text.size(), 16u * 1024 * 1024);
  auto item = ItemAt(Deliver(text));
  auto attachments = item->Attachments();
  ASSERT_EQ(attachments->Count(), 2);
  attachments->Item(1)->SaveAsFile((dir_ / "big.bin").string());
  attachments->Item(2)->SaveAsFile((dir_ / "small.bin").string());
  EXPECT_EQ(ReadAll(dir_ / "big.bin"), big);
  EXPECT_EQ(ReadAll(dir_ / "small.bin"), small);
  EXPECT_EQ(attachments->Item(1)->Size(), static_cast<std::int64_t>(big.size()));
}

TEST_F(FastPathsTest, AddedFilesAreCopiedWhateverTheirSizeAndSurviveTheirSource) {
  // One file kept in memory, one just over that limit copied through a private file;
  // both sources are changed and removed before the save.
  std::string small = SeededBytes(1, 3), large = SeededBytes((1 << 20) + 1, 13);
  fs::path a = dir_ / "small.bin", b = dir_ / "large.bin";
  WriteAll(a, small);
  WriteAll(b, large);
  fs::path file = Deliver(kShortHead + "Subject: add\nContent-Type: text/plain\n\nbody\n");
  auto item = ItemAt(file);
  item->Attachments()->Add(a.string(), "small.bin");
  item->Attachments()->Add(b.string(), "large.bin");
  WriteAll(a, "changed");
  fs::remove(b);
  item->Save();
  auto back = ItemAt(root_ / InboxFiles().at(0));
  auto attachments = back->Attachments();
  ASSERT_EQ(attachments->Count(), 2);
  for (int i = 1; i <= 2; ++i) {
    auto att = attachments->Item(i);
    fs::path out = dir_ / ("back-" + att->FileName());
    att->SaveAsFile(out.string());
    EXPECT_EQ(ReadAll(out), att->FileName() == "small.bin" ? small : large) << att->FileName();
  }
  EXPECT_TRUE(fs::is_empty(root_ / "tmp"));
}

TEST_F(FastPathsTest, BackgroundFlushesLeaveTheSameFolderOnceDrained) {
  store_.reset();
  Options o;
  o.backgroundFlushes = true;
  store_ = OpenStore(o);
  std::vector<fs::path> files;
  for (int i = 0; i < 20; ++i)
    files.push_back(Deliver(kShortHead + "Subject: m" + std::to_string(i) +
                            "\nContent-Type: text/html\n\n<p>x</p>\n"));
  for (std::size_t i = 0; i < files.size(); ++i) {
    auto item = ItemAt(files[i]);
    item->SetHTMLBody("<p>saved " + std::to_string(i) + "</p>");
    item->Save();
    // The caller sees the saved message at once, whatever is still queued.
    EXPECT_NE(ReadAll(root_ / "cur" / InboxFiles().back().substr(4)).size(), 0u);
  }
  DrainSaves();
  EXPECT_EQ(AfterSaveQueue().Pending(), 0u);
  auto listed = InboxFiles();
  ASSERT_EQ(listed.size(), files.size()) << "no message twice, none lost";
  std::set<std::string> bodies;
  for (const auto& name : listed) {
    EXPECT_EQ(std::find(files.begin(), files.end(), root_ / name), files.end())
        << "every saved message has a new name: " << name;
    bodies.insert(ItemAt(root_ / name)->HTMLBody());
  }
  EXPECT_EQ(bodies.size(), files.size());
  EXPECT_TRUE(fs::is_empty(root_ / "tmp")) << "old contents and notes are removed";
}

TEST(BackgroundQueueTest, RunsInOrderSurvivesAFailingJobAndDrains) {
  BackgroundQueue queue;
  std::vector<int> order;
  std::mutex m;
  for (int i = 0; i < 200; ++i) {
    queue.Push([&, i] {
      if (i == 50) throw std::runtime_error("a failed clean-up");
      std::lock_guard<std::mutex> lock(m);
      order.push_back(i);
    });
  }
  queue.Drain();
  EXPECT_EQ(queue.Pending(), 0u);
  ASSERT_EQ(order.size(), 199u);
  for (std::size_t k = 1; k < order.size(); ++k) EXPECT_LT(order[k - 1], order[k]);
  // After the thread has gone idle and ended, a new job still runs.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  bool ran = false;
  queue.Push([&] { ran = true; });
  queue.Drain();
  EXPECT_TRUE(ran);
}

}  // namespace
}  // namespace stow::maildir::testing
