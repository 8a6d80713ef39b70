// Rewriting messages on a real Dovecot: flags and dates kept, other clients'
// deleted mail left alone, and replacements killed at every step finished by the
// next run with the message neither lost nor doubled.

#include <sys/file.h>

#include <filesystem>

#include "common/process.h"
#include "imap/imap_fixture.h"
#include "platform/imap/replacement.h"

namespace stow::testing {
namespace {

using imap::Connector;
using imap::Replacer;
using imap::ReplaceStep;

class ImapReplacement : public ImapServerTest {
 protected:
  void SetUp() override {
    ImapServerTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    journal = server->dir() + "/journal";
    Peek({"fill", "Work", "5", "300"});
    before = Dump("Work");
  }

  // A new text for message uid, big enough that its upload takes several writes.
  static std::string Rewritten(std::uint32_t uid) {
    return "From: a@example.com\r\nSubject: Rewritten " + std::to_string(uid) +
           "\r\nMessage-ID: <m" + std::to_string(uid) + "@example.com>\r\n\r\n" +
           std::string(200000, 'r') + "\r\n";
  }

  // The journal's entries (with the message locks: every file).
  std::vector<std::string> JournalFiles(bool locks = false) const {
    std::vector<std::string> names;
    if (std::filesystem::exists(journal))
      for (const auto& f : std::filesystem::directory_iterator(journal))
        if (locks || f.path().extension() != ".lock") names.push_back(f.path().string());
    return names;
  }

  // Replaces uid in a child process that is killed at step.
  void ReplaceAndDie(std::uint32_t uid, ReplaceStep step) {
    pid_t pid = fork();
    if (pid == 0) {
      Connector conn(Account(), "secret", Options());
      Replacer replacer(conn, journal);
      replacer.onStep = [&](ReplaceStep s) {
        if (s == step) raise(SIGKILL);
      };
      try {
        replacer.Replace("Work", before.uidValidity, uid, Rewritten(uid));
      } catch (...) {
      }
      _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << static_cast<int>(step);
    ASSERT_EQ(JournalFiles().size(), 1u);
  }

  // Finished and abandoned replacements of a later run.
  std::pair<int, int> Finish() {
    Connector conn(Account(), "secret", Options());
    imap::FinishReport report = Replacer(conn, journal).FinishInterrupted();
    return {report.finished, report.abandoned};
  }

  // Work holds the rewritten uid once, in place of the original, with its flags
  // and date, and nothing else changed.
  MailboxDump ExpectReplaced(std::uint32_t uid) {
    MailboxDump after = Dump("Work");
    EXPECT_TRUE(after.Where("uid", uid).empty());
    auto copies = after.Where("subject", "Rewritten " + std::to_string(uid));
    EXPECT_EQ(copies.size(), 1u) << uid;
    if (copies.size() != 1) return after;
    const nlohmann::json old = before.Where("uid", uid).at(0);
    EXPECT_EQ(copies[0]["flags"], old["flags"]);
    EXPECT_EQ(copies[0]["date"], old["date"]);
    std::string token = copies[0]["token"];
    EXPECT_EQ(copies[0]["sha256"],
              Sha256("X-Stowbright-Replacement: " + token + "\r\n" + Rewritten(uid)));
    EXPECT_EQ(after.messages.size(), before.messages.size());
    EXPECT_TRUE(JournalFiles(true).empty());
    return after;
  }

  std::string journal;
  MailboxDump before;
};

TEST_F(ImapReplacement, KeepsFlagsDateAndOtherClientsDeletedMail) {
  Peek({"flag", "Work", "1", "(\\Deleted)"});  // another client's, not yet expunged
  before = Dump("Work");
  Connector conn(Account(), "secret", Options());
  Replacer replacer(conn, journal);
  // A flag another client sets while the copy is uploaded reaches the copy.
  replacer.onStep = [&](ReplaceStep s) {
    if (s == ReplaceStep::kAppended) Peek({"flag", "Work", "5", "(\\Answered)"});
  };
  std::uint32_t copy = replacer.Replace("Work", before.uidValidity, 5, Rewritten(5));
  before.messages[4]["flags"] = {"$Forwarded", "\\Answered", "\\Flagged"};
  MailboxDump after = ExpectReplaced(5);
  EXPECT_EQ(after.Where("subject", "Rewritten 5").at(0)["uid"], copy);
  EXPECT_EQ(after.Where("uid", 1).at(0)["flags"], nlohmann::json::array({"\\Deleted"}));

  // A replacement header already in the new text (from an earlier rewrite) gives way.
  replacer.onStep = nullptr;
  std::string again = "X-Stowbright-Replacement: 0123\r\n\tfolded\r\n" + Rewritten(2);
  replacer.Replace("Work", before.uidValidity, 2, again);
  ExpectReplaced(2);
  EXPECT_THROW(replacer.Replace("Work", before.uidValidity, 2, Rewritten(2)), ComError);
  EXPECT_THROW(replacer.Replace("Work", before.uidValidity + 1, 3, Rewritten(3)), ComError);
}

TEST_F(ImapReplacement, KilledReplacementsAreFinishedByTheNextRun) {
  std::uint32_t uid = 2;
  for (ReplaceStep step : {ReplaceStep::kRecorded, ReplaceStep::kUploading, ReplaceStep::kAppended,
                           ReplaceStep::kMarkedDeleted}) {
    ReplaceAndDie(uid, step);
    EXPECT_EQ(Finish(), std::pair(1, 0)) << static_cast<int>(step);
    ExpectReplaced(uid);
    ++uid;
  }
  EXPECT_EQ(Finish(), std::pair(0, 0));
}

TEST_F(ImapReplacement, RenumberedFolderIsFinishedByContent) {
  ReplaceAndDie(3, ReplaceStep::kAppended);
  Peek({"renumber", "Work"});
  MailboxDump renumbered = Dump("Work");
  ASSERT_NE(renumbered.uidValidity, before.uidValidity);
  EXPECT_EQ(renumbered.messages.size(), before.messages.size() + 1);
  EXPECT_EQ(Finish(), std::pair(1, 0));
  MailboxDump after = Dump("Work");
  EXPECT_EQ(after.Where("subject", "Rewritten 3").size(), 1u);
  EXPECT_TRUE(after.Where("subject", "Message 3").empty());
  EXPECT_EQ(after.messages.size(), before.messages.size());
}

TEST_F(ImapReplacement, EntriesInUseAreLeftAndDeletedMailStaysDeleted) {
  ReplaceAndDie(4, ReplaceStep::kRecorded);
  int held = open(JournalFiles().at(0).c_str(), O_RDONLY);
  ASSERT_EQ(flock(held, LOCK_EX), 0);
  EXPECT_EQ(Finish(), std::pair(0, 0));
  close(held);
  Peek({"delete", "Work", "4"});
  EXPECT_EQ(Finish(), std::pair(0, 1));
  MailboxDump after = Dump("Work");
  EXPECT_TRUE(after.Where("subject", "Rewritten 4").empty());
  EXPECT_EQ(after.messages.size(), before.messages.size() - 1);
  EXPECT_TRUE(JournalFiles().empty());
}

TEST_F(ImapReplacement, TwoProcessesReplacingOneMessageLeaveOneCopy) {
  std::vector<pid_t> children;
  for (int i = 0; i < 2; ++i)
    children.push_back(Spawn([&] {
      Connector conn(Account(), "secret", Options());
      Replacer replacer(conn, journal);
      // Both copies are appended before either original is expunged, unless one waits.
      replacer.onStep = [](ReplaceStep s) {
        if (s == ReplaceStep::kAppended) std::this_thread::sleep_for(300ms);
      };
      replacer.Replace("Work", before.uidValidity, 3, Rewritten(3));
      return true;
    }));
  int succeeded = 0;
  for (pid_t child : children) succeeded += WaitExit(child) == 0;
  EXPECT_EQ(succeeded, 1) << "the second finds the message replaced";
  ExpectReplaced(3);
}

TEST_F(ImapReplacement, DroppedConnectionIsFinishedAtOnce) {
  CuttingProxy proxy(server->imapPort());
  Connector conn(Account(false, proxy.port()), "secret", Options(), {3, 50ms, 1s});
  Replacer replacer(conn, journal);
  replacer.onStep = [&](ReplaceStep s) {
    if (s == ReplaceStep::kAppended) proxy.CutNow();
  };
  replacer.Replace("Work", before.uidValidity, 1, Rewritten(1));
  EXPECT_EQ(conn.reconnects(), 1);
  ExpectReplaced(1);
}

}  // namespace
}  // namespace stow::testing
