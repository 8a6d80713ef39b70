// build/stowbright on an account of the private Dovecot, read back through a second,
// independent client (peek.py, Python's imaplib).

#include <gmock/gmock.h>

#include "common/maildir_harness.h"
#include "common/process.h"
#include "common/temp_dir.h"
#include "imap_fixture.h"

namespace stow::testing {
namespace {

namespace fs = std::filesystem;
using namespace reliability;
using ::testing::HasSubstr;

struct Sent {
  std::string subject, flags, date;
  std::map<std::string, std::string> files;  // name -> bytes
};

class ImapProgramTest : public ImapServerTest {
 protected:
  void SetUp() override {
    ImapServerTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    url_ = "imaps://alice@127.0.0.1:" + std::to_string(server->imapsPort()) + "/";
  }

  std::vector<std::string> Args(std::vector<std::string> args) const {
    args.insert(args.begin(), {"--store", url_, "--ca-file", server->caFile(), "--password-command",
                               "echo secret"});
    return args;
  }
  RunResult Run(const std::vector<std::string>& args) {
    return prog_.Run(Args(args), std::chrono::seconds(60));
  }
  RunResult Ok(const std::vector<std::string>& args) {
    RunResult r = Run(args);
    EXPECT_EQ(r.code, 0) << args[0] << "\n" << r.err << r.out;
    return r;
  }
  void Send(const Sent& m) {
    MimeMessage mime{m.subject + "@example.org", m.subject};
    for (const auto& [name, bytes] : m.files) mime.parts.push_back({name, bytes});
    Peek({"append", "INBOX", m.flags, m.date, Render(mime)});
  }
  // once: each message is there once (not so while a killed rewrite waits for the
  // next run: its new copy is in, its old one not yet expunged).
  std::map<std::string, nlohmann::json> BySubject(const std::string& mailbox, bool once = true) {
    std::map<std::string, nlohmann::json> out;
    for (auto& m : Dump(mailbox).messages) {
      if (once) {
        EXPECT_EQ(out.count(m["subject"]), 0u) << "twice: " << m["subject"];
      }
      out[m["subject"]] = m;
    }
    return out;
  }
  std::vector<std::string> Saved(const fs::path& dir) const {
    std::vector<std::string> out;
    for (const auto& name : FilesIn(dir)) out.push_back(ReadAll(dir / name));
    std::sort(out.begin(), out.end());
    return out;
  }

  TempDir tmp_{"imap-program"};
  Program prog_{tmp_.root(), ""};
  std::string url_;
};

TEST_F(ImapProgramTest, DetachReattachCopyAndDeleteKeepEveryMessageOnceWithItsFlagsAndDate) {
  std::string binary;
  for (int i = 0; i < 5000; ++i) binary += static_cast<char>(i * 7 % 256);
  const std::vector<Sent> mail = {
      {"One", "(\\Seen \\Flagged)", "05-Feb-2024 10:00:00 +0100", {{"one.txt", "first\r\n"}}},
      {"Two", "($Forwarded)", "06-Feb-2024 10:00:00 -0530", {{"two.bin", binary}, {"t.txt", "3"}}},
      {"None", "(\\Seen)", "07-Feb-2024 10:00:00 +0000", {}}};
  for (const Sent& m : mail) Send(m);
  const auto before = BySubject("INBOX");
  std::vector<std::string> originals = {"first\r\n", binary, "3"};
  std::sort(originals.begin(), originals.end());
  // Everything but the message itself is as it was, each message once.
  auto unchangedButBodies = [&] {
    auto now = BySubject("INBOX");
    ASSERT_EQ(now.size(), before.size());
    for (const auto& [subject, m] : before) {
      EXPECT_EQ(now[subject]["flags"], m["flags"]) << subject;
      EXPECT_EQ(now[subject]["date"], m["date"]) << subject;
    }
  };

  RunResult r = Ok({"detach-all", "Inbox"});
  EXPECT_THAT(r.out, HasSubstr("Detached 3 files"));
  EXPECT_EQ(Saved(prog_.attachments()), originals);
  unchangedButBodies();
  for (const auto& [subject, m] : BySubject("INBOX"))
    for (const auto& [name, bytes] : before.at(subject)["attachments"].items())
      EXPECT_NE(m["attachments"].value(name, ""), bytes) << name << " still in " << subject;

  r = Ok({"reattach-all", "Inbox"});
  EXPECT_THAT(r.out, HasSubstr("Re-attached 3 files"));
  unchangedButBodies();
  auto back = BySubject("INBOX");
  for (const auto& [subject, m] : before)
    for (const auto& [name, sha] : m["attachments"].items())
      EXPECT_EQ(back[subject]["attachments"].value(name, ""), sha) << name << " of " << subject;

  fs::path copies = tmp_.root() / "copies";
  fs::create_directories(copies);
  Ok({"--to", copies.string(), "copy", "Inbox", "all"});
  EXPECT_EQ(Saved(copies), originals);
  EXPECT_EQ(BySubject("INBOX"), back) << "copy changes no message";

  Ok({"detach-all", "Inbox"});
  std::size_t trashed = prog_.TrashedFrom().size();
  // Deleted for good (a copy would link to the files); found by its Message-ID.
  r = Ok({"--yes", "delete", "Inbox", "mid:Two@example.org"});
  auto left = BySubject("INBOX");
  EXPECT_EQ(left.size(), 2u);
  EXPECT_EQ(left.count("Two"), 0u);
  EXPECT_EQ(prog_.TrashedFrom().size(), trashed + 2) << "the two saved files of Two";
}

TEST_F(ImapProgramTest, WrongAccountsAndServersAreRefusedWithAClearMessage) {
  RunResult r = Run({"folders"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("Inbox"));
  std::string good = url_;
  url_ = "imaps://alice:pw@127.0.0.1/";
  EXPECT_EQ(Run({"folders"}).code, 2);
  url_ = good;
  r = prog_.Run({"--store", url_, "--ca-file", server->caFile(), "--password-command", "echo wrong",
                 "folders"});
  EXPECT_EQ(r.code, 1);
  EXPECT_THAT(r.err, HasSubstr(url_));
  // A server whose certificate the system does not trust.
  r = prog_.Run({"--store", url_, "--password-command", "echo secret", "folders"});
  EXPECT_EQ(r.code, 1);
  EXPECT_THAT(r.err, HasSubstr("certificate"));
  // A server without UIDPLUS (plain text: it is on this machine and has no STARTTLS).
  FakeServer old(Script("IMAP4rev1", [](int, const std::string&) {}));
  url_ = "imap://alice@127.0.0.1:" + std::to_string(old.port()) + "/";
  r = Run({"folders"});
  EXPECT_EQ(r.code, 1);
  EXPECT_THAT(r.err, HasSubstr("does not support UIDPLUS"));
}

TEST_F(ImapProgramTest, AKilledDetachAllIsFinishedByTheNextRunWithEveryMessageOnce) {
  for (int i = 0; i < 6; ++i)
    Send(
        {"Mail " + std::to_string(i),
         "(\\Seen)",
         "0" + std::to_string(i + 1) + "-Mar-2024 08:00:00 +0000",
         {{"f" + std::to_string(i) + ".bin", std::string(20000 + i, static_cast<char>('a' + i))}}});
  const auto before = BySubject("INBOX");
  // Killed while a rewrite is in flight: its journal entry is on disk.
  fs::path journal = prog_.home() / ".local/state/stowbright/imap-journal" /
                     ("alice@127.0.0.1_" + std::to_string(server->imapsPort()));
  auto inFlight = [&] {
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(journal, ec))
      if (e.path().extension() == ".replace") return true;
    return false;
  };
  for (int round = 0; round < 3; ++round) {
    pid_t pid = prog_.Spawn(Args({"detach-all", "Inbox"}));
    for (int i = 0; i < 20000 && !inFlight() && waitpid(pid, nullptr, WNOHANG) == 0; ++i)
      std::this_thread::sleep_for(std::chrono::microseconds(500));
    EXPECT_TRUE(inFlight()) << "round " << round;
    kill(pid, SIGKILL);
    WaitExit(pid);
    EXPECT_EQ(BySubject("INBOX", false).size(), before.size()) << "round " << round;
  }
  Ok({"detach-all", "Inbox"});
  auto after = BySubject("INBOX");
  ASSERT_EQ(after.size(), before.size());
  for (const auto& [subject, m] : before) {
    EXPECT_EQ(after[subject]["flags"], m["flags"]);
    EXPECT_EQ(after[subject]["date"], m["date"]);
    for (const auto& [name, sha] : m["attachments"].items())
      EXPECT_FALSE(after[subject]["attachments"].contains(name)) << name << " still in " << subject;
    EXPECT_EQ(after[subject]["token"].get<std::string>().size(), 32u)
        << subject << " was not rewritten";
  }
  EXPECT_FALSE(inFlight());
}

// IDLE wakes the watch at once, however long its polls are apart; a server without
// IDLE is polled.
TEST_F(ImapProgramTest, WatchDetachesMailDeliveredToAMonitoredFolderOnce) {
  for (bool idle : {true, false}) {
    SCOPED_TRACE(idle ? "IDLE" : "polling");
    if (!idle) {
      server = DovecotServer::Start(
          "imap_capability = IMAP4rev1 LITERAL+ SASL-IR ID ENABLE NAMESPACE UIDPLUS MOVE\n");
      ASSERT_TRUE(server);
      server->AddUser("alice", "secret");
      url_ = "imaps://alice@127.0.0.1:" + std::to_string(server->imapsPort()) + "/";
      for (const auto& saved : fs::directory_iterator(prog_.attachments())) fs::remove(saved);
    }
    Ok({"monitor", "add", "Inbox"});
    pid_t pid = prog_.Spawn(Args({"--imap-poll", idle ? "600" : "1", "watch"}), false, "watch");
    auto err = [&] { return ReadAll(tmp_.root() / "watch.err"); };
    for (int i = 0; i < 200 && err().find("watching") == std::string::npos; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    Send({"Fresh", "()", "08-Feb-2024 10:00:00 +0000", {{"fresh.txt", "fresh bytes"}}});
    bool detached = false;
    for (int i = 0; i < 100 && !detached; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      detached = Saved(prog_.attachments()) == std::vector<std::string>{"fresh bytes"};
    }
    // Another poll or wake-up, which must not take the rewritten mail for new mail.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    kill(pid, SIGTERM);
    EXPECT_EQ(WaitExit(pid), 0) << err();
    EXPECT_TRUE(detached) << err();
    EXPECT_EQ(Saved(prog_.attachments()), std::vector<std::string>{"fresh bytes"});
    auto inbox = BySubject("INBOX");
    ASSERT_EQ(inbox.size(), 1u);
    EXPECT_FALSE(inbox["Fresh"]["attachments"].contains("fresh.txt"));
    auto commands = server->Commands("alice");
    EXPECT_EQ(std::count(commands.begin(), commands.end(), "IDLE") > 0, idle);
  }
}

}  // namespace
}  // namespace stow::testing
