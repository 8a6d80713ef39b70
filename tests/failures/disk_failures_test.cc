// Detach when the disk says no: the attachment folder full or read-only, the mail
// store full. The real program runs on real file systems: small tmpfs mounts in a
// mount namespace of this test process (and so of every program it starts), which
// nobody outside sees and which goes away with the process. What a user must be able
// to rely on: the run fails and says where, no attachment is lost, no message is
// half-written, nothing is left behind, and once there is room again a rerun does
// the work.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/statvfs.h>

#include <cstring>

#include "common/maildir_harness.h"

namespace {

using namespace stow::testing::reliability;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

std::string Errno(const std::string& what) {
  return what + ": " + std::strerror(errno);
}

bool WriteProcFile(const char* path, const std::string& text) {
  int fd = open(path, O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  close(fd);
  return ok;
}

// Moves this process into a mount namespace of its own, once: "" when done, else
// why not. Root needs only the mount namespace; anyone else becomes root over their
// own mounts in a user namespace, where the kernel allows one.
const std::string& PrivateMounts() {
  static const std::string why = []() -> std::string {
    uid_t uid = geteuid();
    gid_t gid = getegid();
    if (uid == 0) {
      if (unshare(CLONE_NEWNS) != 0) return Errno("unshare(CLONE_NEWNS)");
    } else {
      if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0)
        return Errno("unshare(CLONE_NEWUSER | CLONE_NEWNS)");
      if (!WriteProcFile("/proc/self/setgroups", "deny") ||
          !WriteProcFile("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
          !WriteProcFile("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1"))
        return Errno("mapping the user namespace");
    }
    // Nothing mounted here may reach the namespace this process came from.
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
      return Errno("making / private");
    return "";
  }();
  return why;
}

class DiskFailureTest : public ::testing::Test {
 protected:
  DiskFailureTest() : tree_("failures"), prog_(tree_.root(), tree_.root() / "mailfs" / "Maildir") {}
  ~DiskFailureTest() override {
    for (auto it = mounts_.rbegin(); it != mounts_.rend(); ++it) umount2(it->c_str(), MNT_DETACH);
  }

  // A tmpfs at dir: "" when mounted, else why not.
  std::string MountTmpfs(const fs::path& dir, const std::string& options) {
    if (!PrivateMounts().empty()) return PrivateMounts();
    fs::create_directories(dir);
    if (mount("tmpfs", dir.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0)
      return Errno("mount -t tmpfs -o " + options + " " + dir.string());
    mounts_.push_back(dir);
    return "";
  }

  bool Remount(const fs::path& dir, unsigned long flags, const std::string& options) {
    return mount(nullptr, dir.c_str(), nullptr, MS_REMOUNT | MS_NOSUID | MS_NODEV | flags,
                 options.c_str()) == 0;
  }

  Original Add(const std::string& id, const std::vector<MimePart>& parts,
               const std::string& html = "") {
    MimeMessage m{id + "@example.org", id, html, parts, {}};
    std::string text = Render(m);
    Deliver(prog_.store(),
            std::to_string(1709543700 + serial_) + ".M" + std::to_string(serial_) + "P5.failures",
            text);
    ++serial_;
    Original o{m.messageId, Sha256(text), {}};
    for (const auto& p : parts) o.hashes.push_back(Sha256(p.data));
    originals_.push_back(o);
    return o;
  }

  // What the folder holds now, with the records of each message that has any.
  struct State {
    std::vector<ParsedMessage> messages;
    std::map<std::string, std::vector<Record>> records;  // by Message-ID
  };
  State Read() {
    State s;
    s.messages = ReadFolder(prog_.store());
    for (const auto& m : s.messages)
      if (m.processedHeader || m.propertyValue)
        s.records[m.messageId] = ParseRecords(prog_.RecordsOf("Inbox", m.unique).value_or(""));
    return s;
  }

  // Every message there once, and each of its attachments in it or in a file of the
  // attachment folder that its records name; with `detached`, in such a file only.
  std::vector<std::string> Lost(const State& s, bool detached = false) {
    auto records = [&](const ParsedMessage& m) {
      auto it = s.records.find(m.messageId);
      return it == s.records.end() ? std::vector<Record>() : it->second;
    };
    return reliability::Lost(originals_, s.messages, prog_.attachments(), records, detached);
  }

  // Files in the attachment folder that no record names (orphans) or that are
  // hidden (partial files), and anything left in the Maildir's tmp/.
  std::vector<std::string> Litter(const State& s) {
    std::set<std::string> named;
    for (const auto& [id, records] : s.records)
      for (const auto& r : records) named.insert(fs::path(r.path).filename().string());
    std::vector<std::string> bad;
    for (const auto& f : FilesIn(prog_.attachments())) {
      if (f[0] == '.')
        bad.push_back("hidden file in the attachment folder: " + f);
      else if (!named.count(f))
        bad.push_back("orphan in the attachment folder: " + f);
    }
    for (const auto& f : FilesIn(prog_.store() / "tmp")) bad.push_back("Maildir tmp/" + f);
    return bad;
  }

  const Original* Find(const std::string& id) const {
    for (const auto& o : originals_)
      if (o.messageId == id) return &o;
    return nullptr;
  }

  TempDir tree_;
  Program prog_;
  std::vector<fs::path> mounts_;
  std::vector<Original> originals_;
  int serial_ = 0;
};

std::string Report(const RunResult& r) {
  return "exit " + std::to_string(r.code) + "\n--- stdout:\n" + r.out + "--- stderr:\n" + r.err;
}

TEST_F(DiskFailureTest, FullAttachmentFolderFailsNamingItKeepsEverythingAndARerunFinishes) {
  std::string why = MountTmpfs(prog_.attachments(), "size=256k,mode=0755");
  if (!why.empty()) GTEST_SKIP() << "cannot mount a small attachment folder: " << why;
  MakeMaildir(prog_.store());
  std::mt19937_64 rng(1);
  // The small ones fit together (about 60 KB); the big ones fit in no case.
  Add("small", {{"small.pdf", RandomBytes(rng, 20000), {}, {}}});
  Add("big", {{"big.bin", RandomBytes(rng, 600000), {}, {}}});
  Add("mixed", {{"fits.txt", RandomBytes(rng, 8000), {}, {}},
                {"too-big.iso", RandomBytes(rng, 400000), {}, {}}});
  Add("later", {{"later.doc", RandomBytes(rng, 30000), {}, {}}});

  RunResult r = prog_.Run({"--yes", "detach-all", "Inbox"});
  EXPECT_NE(r.code, 0) << Report(r);
  EXPECT_THAT(r.err, HasSubstr(prog_.attachments().string())) << "the folder is not named\n"
                                                              << Report(r);
  State s = Read();
  EXPECT_THAT(Lost(s), IsEmpty());
  EXPECT_THAT(Litter(s), IsEmpty());
  for (const auto& m : s.messages) {
    if (!s.records.count(m.messageId) && Find(m.messageId)) {
      EXPECT_EQ(m.fileHash, Find(m.messageId)->fileHash) << m.messageId << " changed";
    }
  }
  EXPECT_TRUE(s.records.count("small@example.org")) << "a fitting attachment was not detached";

  ASSERT_TRUE(Remount(prog_.attachments(), 0, "size=4m")) << Errno("remount");
  r = prog_.Run({"--yes", "detach-all", "Inbox"});
  EXPECT_EQ(r.code, 0) << Report(r);
  s = Read();
  EXPECT_THAT(Lost(s, true), IsEmpty()) << "the rerun left work undone";
  EXPECT_THAT(Litter(s), IsEmpty());
}

TEST_F(DiskFailureTest, FullMailStoreKeepsTheMessageAndTakesBackItsSavedFiles) {
  std::string why = MountTmpfs(tree_.root() / "mailfs", "size=1m,mode=0755");
  if (!why.empty()) GTEST_SKIP() << "cannot mount a small mail store: " << why;
  MakeMaildir(prog_.store());
  std::mt19937_64 rng(2);
  // A long body, so that the rewritten message needs far more room than is left,
  // while the small notes a save writes beside it still fit.
  std::string html = "<html><body>";
  for (int i = 0; i < 4000; ++i) html += "<p>line " + std::to_string(rng() % 1000000) + "</p>\r\n";
  html += "</body></html>";
  Original o = Add(
      "long",
      {{"one.pdf", RandomBytes(rng, 30000), {}, {}}, {"two.bin", RandomBytes(rng, 20000), {}, {}}},
      html);
  // Fill the store to the last byte, then free a little.
  fs::path filler = tree_.root() / "mailfs" / "filler";
  {
    int fd = open(filler.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    std::string chunk(4096, 'f');
    while (write(fd, chunk.data(), chunk.size()) > 0) {
    }
    ASSERT_EQ(ftruncate(fd, std::max<off_t>(0, lseek(fd, 0, SEEK_END) - 32 * 1024)), 0);
    close(fd);
  }
  struct statvfs room {};
  ASSERT_EQ(statvfs(filler.c_str(), &room), 0);
  ASSERT_LT(room.f_bavail * room.f_frsize, html.size() / 2) << "the rewrite would fit";
  auto storeBefore = TreeHashes(prog_.store());

  RunResult r = prog_.Run({"--yes", "detach-all", "Inbox"});
  EXPECT_NE(r.code, 0) << Report(r);
  EXPECT_THAT(r.err, HasSubstr("No space left on device")) << "the cause is not said\n"
                                                           << Report(r);
  EXPECT_EQ(TreeHashes(prog_.store()), storeBefore) << "the Maildir changed";
  State s = Read();
  ASSERT_EQ(s.messages.size(), 1u);
  EXPECT_EQ(s.messages[0].fileHash, o.fileHash);
  EXPECT_THAT(FilesIn(prog_.attachments()), IsEmpty()) << "saved files left behind";
}

TEST_F(DiskFailureTest, ReadOnlyAttachmentFolderFailsNamingItAndChangesNothing) {
  fs::create_directories(prog_.attachments());
  std::string why = MountTmpfs(prog_.attachments(), "size=1m,mode=0755");
  bool mounted = why.empty();
  WriteAll(prog_.attachments() / "existing.txt", "was here before");
  if (mounted && !Remount(prog_.attachments(), MS_RDONLY, "size=1m"))
    GTEST_SKIP() << Errno("remount read-only");
  if (!mounted) {
    // Without mounts, permission bits do the same for anyone but root.
    if (geteuid() == 0) GTEST_SKIP() << "cannot mount a read-only attachment folder: " << why;
    fs::permissions(prog_.attachments(), fs::perms::owner_read | fs::perms::owner_exec |
                                             fs::perms::group_read | fs::perms::group_exec |
                                             fs::perms::others_read | fs::perms::others_exec);
  }
  MakeMaildir(prog_.store());
  std::mt19937_64 rng(3);
  Add("first", {{"a.pdf", RandomBytes(rng, 5000), {}, {}}});
  Add("second", {{"b.bin", RandomBytes(rng, 7000), {}, {}}, {"c.txt", "plain", {}, {}}});
  auto storeBefore = TreeHashes(prog_.store());
  auto folderBefore = TreeHashes(prog_.attachments());

  RunResult r = prog_.Run({"--yes", "detach-all", "Inbox"});
  EXPECT_NE(r.code, 0) << Report(r);
  EXPECT_THAT(r.err, HasSubstr(prog_.attachments().string())) << "the folder is not named\n"
                                                              << Report(r);
  EXPECT_EQ(TreeHashes(prog_.store()), storeBefore) << "the Maildir changed";
  EXPECT_EQ(TreeHashes(prog_.attachments()), folderBefore);
}

}  // namespace
