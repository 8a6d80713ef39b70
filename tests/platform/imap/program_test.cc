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
    fs::path text = tmp_.root() / "sent.eml";
    WriteAll(text, Render(mime));
    Peek({"append", "INBOX", m.flags, m.date, "@" + text.string()});
  }
  // n messages "Mail <i>", each with an attachment of its own of kb kilobytes.
  std::map<std::string, nlohmann::json> SendAttached(int n, std::size_t kb) {
    for (int i = 0; i < n; ++i) {
      std::string bytes(kb << 10, '\0');
      for (std::size_t j = 0; j < bytes.size(); ++j)
        bytes[j] = static_cast<char>((j * 131 + i) >> 3);
      std::string day = std::to_string(10 + i % 18);
      Send({"Mail " + std::to_string(i),
            i % 2 ? "(\\Seen)" : "()",
            day + "-Mar-2024 08:00:00 +0100",
            {{"f" + std::to_string(i) + ".bin", bytes}}});
    }
    return BySubject("INBOX");
  }
  // INBOX holds each message of before once, with its flags and date, and its
  // attachments taken out (detached) or back byte for byte.
  void ExpectKept(const std::map<std::string, nlohmann::json>& before, bool detached) {
    auto now = BySubject("INBOX");
    ASSERT_EQ(now.size(), before.size());
    for (const auto& [subject, m] : before) {
      EXPECT_EQ(now[subject]["flags"], m["flags"]) << subject;
      EXPECT_EQ(now[subject]["date"], m["date"]) << subject;
      for (const auto& [name, sha] : m["attachments"].items())
        if (detached)
          EXPECT_FALSE(now[subject]["attachments"].contains(name))
              << name << " still in " << subject;
        else
          EXPECT_EQ(now[subject]["attachments"].value(name, ""), sha) << name << " of " << subject;
    }
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
  // The commands alice's sessions sent while run ran.
  std::multiset<std::string> CommandsDuring(const std::function<void()>& run) {
    auto before = server->Commands("alice");
    run();
    auto after = server->Commands("alice");
    std::multiset<std::string> out(after.begin(), after.end());
    for (const std::string& c : before) out.erase(out.find(c));
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

  RunResult r;
  auto sent = CommandsDuring([&] { r = Ok({"detach-all", "Inbox"}); });
  EXPECT_THAT(r.out, HasSubstr("Detached 3 files"));
  EXPECT_EQ(Saved(prog_.attachments()), originals);
  ExpectKept(before, true);
  // The headers come in one batch, and no body crosses the network twice.
  auto asks = [&](const std::string& c, const char* what) { return c.find(what) != c.npos; };
  EXPECT_EQ(std::count_if(sent.begin(), sent.end(),
                          [&](const std::string& c) { return asks(c, "BODY.PEEK[HEADER]"); }),
            1);
  for (const std::string& c : sent)
    EXPECT_TRUE(!asks(c, "BODY.PEEK[])") || sent.count(c) == 1) << c;

  r = Ok({"reattach-all", "Inbox"});
  EXPECT_THAT(r.out, HasSubstr("Re-attached 3 files"));
  ExpectKept(before, false);
  auto back = BySubject("INBOX");

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
  const auto before = SendAttached(6, 20);
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
  ExpectKept(before, true);
  EXPECT_FALSE(inFlight());
}

// The server killed while detach-all appends (during an APPEND, as its file is
// being written, then between an APPEND and its EXPUNGE) and started again: the run
// gives up naming the server, and the next one leaves every message once.
TEST_F(ImapProgramTest, AServerKilledDuringDetachAllLosesAndDoublesNothing) {
  const auto before = SendAttached(4, 1536);
  fs::path maildir = fs::path(server->dir()) / "home/alice/Maildir";
  auto count = [&](std::initializer_list<const char*> subs) {
    std::size_t n = 0;
    for (const char* sub : subs) n += FilesIn(maildir / sub).size();
    return n;
  };
  const std::size_t stored = count({"cur", "new"});
  const std::function<bool()> moments[] = {[&] { return count({"tmp"}) > 0; },
                                           [&] {
                                             return count({"cur", "new"}) > stored;
                                           }};
  for (const auto& now : moments) {
    std::atomic<bool> done = false, killed = false;
    std::thread killer([&] {
      while (!done && !(killed = now())) std::this_thread::sleep_for(200us);
      server->Kill();
    });
    RunResult r = Run({"detach-all", "Inbox"});
    done = true;
    killer.join();
    EXPECT_TRUE(killed);
    EXPECT_EQ(r.code, 1) << r.err;
    EXPECT_THAT(r.err, HasSubstr("127.0.0.1:" + std::to_string(server->imapsPort())));
    ASSERT_TRUE(server->Restart());
  }
  Ok({"detach-all", "Inbox"});
  ExpectKept(before, true);
  Ok({"reattach-all", "Inbox"});
  ExpectKept(before, false);
}

// A connection cut in the middle of a batch, with the server away after it, ends
// the run with an error naming the server; the next run finishes the work.
TEST_F(ImapProgramTest, ACutConnectionEndsTheRunClearlyAndTheNextFinishes) {
  const auto before = SendAttached(12, 40);
  CuttingProxy proxy(server->imapPort());
  url_ = "imap://alice@127.0.0.1:" + std::to_string(proxy.port()) + "/";
  proxy.CutAfter(200 << 10, true);
  RunResult r = Run({"detach-all", "Inbox"});
  EXPECT_EQ(r.code, 1) << r.err;
  EXPECT_THAT(r.err, HasSubstr("127.0.0.1:" + std::to_string(proxy.port())));
  proxy.Up();
  Ok({"detach-all", "Inbox"});
  ExpectKept(before, true);
  Ok({"reattach-all", "Inbox"});
  ExpectKept(before, false);
}

// IDLE wakes the watch at once, however long its polls are apart, also after the
// server was restarted under it; a server without IDLE is polled.
TEST_F(ImapProgramTest, WatchDetachesMailDeliveredToAMonitoredFolderOnce) {
  struct Case {
    const char* name;
    bool idle, restart;
  } cases[] = {
      {"IDLE", true, false}, {"IDLE, server restarted", true, true}, {"polling", false, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    bool idle = c.idle;
    if (&c != cases) {
      server = DovecotServer::Start(
          idle ? ""
               : "imap_capability = IMAP4rev1 LITERAL+ SASL-IR ID ENABLE NAMESPACE UIDPLUS MOVE\n");
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
    if (c.restart) {  // once the watch idles
      auto idles = [&] {
        auto sent = server->Commands("alice");
        return std::find(sent.begin(), sent.end(), "IDLE") != sent.end();
      };
      for (int i = 0; i < 100 && !idles(); ++i) std::this_thread::sleep_for(50ms);
      ASSERT_TRUE(server->Restart());
    }
    Send({"Fresh", "()", "08-Feb-2024 10:00:00 +0000", {{"fresh.txt", "fresh bytes"}}});
    bool detached = false;
    for (int i = 0; i < (c.restart ? 400 : 100) && !detached; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      detached = Saved(prog_.attachments()) == std::vector<std::string>{"fresh bytes"};
    }
    // Another poll or wake-up, which must not take the rewritten mail for new mail.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    kill(pid, SIGTERM);
    EXPECT_EQ(WaitExit(pid), 0) << err();
    EXPECT_TRUE(detached) << err();
    if (c.restart) {
      EXPECT_THAT(err(), HasSubstr("trying again")) << "the watch's connections were not lost";
    }
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
