// The same Maildir folder worked on by several programs at once: `stowbright watch`
// detaching new mail in a monitored folder, a delivery agent putting messages into
// new/, a mail client renaming flags and moving messages from new/ to cur/, and
// `stowbright detach-all` run now and then. Afterwards no message is lost or
// duplicated and every attachment is in its message or in a file its records name.
//
// Short form: 100 deliveries. STOW_CONCURRENCY_DELIVERIES=1000 for the long form.

#include <gtest/gtest.h>

#include <atomic>
#include <iostream>
#include <regex>

#include "common/maildir_harness.h"

namespace {

using namespace stow::testing::reliability;

// A mail client marking messages read: new/X -> cur/X:2,S, cur/X:2,S -> cur/X:2,RS.
// Renames that lose a race (the file moved or was rewritten) are ignored, as a
// client would rescan.
void RenameFlags(const fs::path& dir, std::atomic<bool>& stop, std::atomic<long>& renames,
                 unsigned seed) {
  std::mt19937 rng(seed);
  while (!stop) {
    for (const char* sub : {"new", "cur"}) {
      auto files = FilesIn(dir / sub);
      if (files.empty()) continue;
      const std::string& f = files[rng() % files.size()];
      fs::path from = dir / sub / f;
      fs::path to;
      if (std::string(sub) == "new") {
        to = dir / "cur" / (f + ":2,S");
      } else if (f.find(":2,") != std::string::npos && f.find('R') == std::string::npos) {
        std::string info = f.substr(f.find(":2,") + 3);
        to = dir / "cur" / (f.substr(0, f.find(":2,")) + ":2,R" + info);
      } else {
        continue;
      }
      std::error_code ec;
      fs::rename(from, to, ec);
      if (!ec) ++renames;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(3));
  }
}

TEST(Concurrency, WatcherDeliveriesFlagRenamesAndDetachAllLoseNothing) {
  const long deliveries = EnvNumber("STOW_CONCURRENCY_DELIVERIES", 100);
  TempDir tree("concurrency");
  Program prog(tree.root(), tree.root() / "Maildir");
  MakeMaildir(prog.store());

  RunResult r = prog.Run({"monitor", "add", "Inbox"});
  ASSERT_EQ(r.code, 0) << r.err;

  pid_t watcher = prog.Spawn({"watch"}, false, "watch");
  auto watchErr = tree.root() / "watch.err";
  for (int i = 0; i < 600 && ReadAll(watchErr).find("watching") == std::string::npos; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_NE(ReadAll(watchErr).find("watching"), std::string::npos) << ReadAll(watchErr);

  std::atomic<bool> stop{false};
  std::atomic<long> renames{0};
  std::thread renamer(RenameFlags, prog.store(), std::ref(stop), std::ref(renames), 5u);

  std::mt19937_64 rng(77);
  std::vector<Original> originals;
  int detachRuns = 0, detachFailures = 0;
  for (long i = 0; i < deliveries; ++i) {
    MimeMessage m;
    m.messageId = "deliv-" + std::to_string(i) + "@example.org";
    m.subject = "Delivery " + std::to_string(i);
    std::string data = RandomBytes(rng, 200 + rng() % 4000);
    m.parts.push_back({"d" + std::to_string(i) + ".bin", data, {}, std::nullopt});
    originals.push_back({m.messageId, "", {Sha256(data)}});
    Deliver(prog.store(), std::to_string(1709543700 + i) + ".M" + std::to_string(i) + "P3.deliv",
            Render(m), "new");
    if (i % 40 == 20) {
      // detach-all at the same time as the watcher: either may win an item, never both.
      RunResult d = prog.Run({"detach-all", "Inbox"});
      ++detachRuns;
      detachFailures += d.code != 0;
      EXPECT_TRUE(d.code == 0 || d.code == 1) << d.code << d.err;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }

  // Let the watcher catch up (bounded), then stop everyone.
  auto detachedCount = [&] {
    int n = 0;
    for (const auto& m : ReadFolder(prog.store())) n += m.processedHeader;
    return n;
  };
  // Until all are done, or nothing has moved for ten seconds (the watcher leaves an
  // item it lost a race for to the next run), at most two minutes.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  auto lastChange = std::chrono::steady_clock::now();
  int watcherDetached = 0;
  while (std::chrono::steady_clock::now() < deadline &&
         std::chrono::steady_clock::now() - lastChange < std::chrono::seconds(10)) {
    int now = detachedCount();
    if (now != watcherDetached) lastChange = std::chrono::steady_clock::now();
    watcherDetached = now;
    if (watcherDetached >= deliveries) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  stop = true;
  renamer.join();
  kill(watcher, SIGTERM);
  int status = 0;
  waitpid(watcher, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << ReadAll(watchErr);

  // Whatever was left goes with one more run, alone.
  r = prog.Run({"detach-all", "Inbox"});
  EXPECT_TRUE(r.code == 0 || r.code == 1) << r.err;

  // Every delivery there once, and detached: its attachment in a file its records name.
  auto records = [&](const ParsedMessage& m) {
    return ParseRecords(prog.RecordsOf("Inbox", m.unique).value_or(""));
  };
  auto bad = Lost(originals, ReadFolder(prog.store()), prog.attachments(), records, true);
  for (const auto& b : bad) ADD_FAILURE() << b;
  std::cout << "[concurrency] " << deliveries << " deliveries, " << renames << " flag renames, "
            << detachRuns << " concurrent detach-all runs (" << detachFailures
            << " reported a conflict), watcher had detached " << watcherDetached
            << " when stopped; in the end " << bad.size() << " lost or not detached\n";
}

// A message's state: its attachments in it (A), in files its records name with the
// link block in its body (D), or in those files without the block (L).
char StateOf(const ParsedMessage& m, const std::vector<std::string>& hashes) {
  std::size_t inMail = 0, inFiles = 0;
  for (const auto& h : hashes) {
    inMail += std::count(m.leafHashes.begin(), m.leafHashes.end(), h) > 0;
    for (const auto& r : m.records)
      if (fs::exists(r.path) && Sha256(ReadAll(r.path)) == h) {
        ++inFiles;
        break;
      }
  }
  if (inMail == hashes.size() && m.records.empty()) return 'A';
  if (inMail == 0 && inFiles == hashes.size()) return m.linkBlock ? 'D' : 'L';
  return '?';
}

char Apply(const std::string& op, char s) {
  if (op == "detach") return s == 'A' ? 'D' : s;
  if (op == "reattach") return 'A';
  return s == 'D' ? 'L' : s;  // remove-links
}

TEST(Concurrency, TwoProcessesRewritingTheSameMailLoseNothingAndReportEveryFailure) {
  const long trials = EnvNumber("STOW_REWRITE_TRIALS", 50);
  const long only = EnvNumber("STOW_REWRITE_PAIR", -1);  // one pair over and over
  struct Pair {
    const char *first, *second;
    char start;
  };
  const Pair pairs[] = {{"reattach", "remove-links", 'D'},
                        {"reattach", "reattach", 'D'},
                        {"detach", "detach", 'A'},
                        {"detach", "reattach", 'A'},
                        {"detach", "remove-links", 'A'}};
  std::mt19937_64 rng(14);
  int failures = 0, conflicts = 0;
  for (long trial = 0; trial < trials; ++trial) {
    const Pair& pair = pairs[only >= 0 ? only : trial % 5];
    TempDir tree("rewrite");
    Program prog(tree.root(), tree.root() / "Maildir");
    MakeMaildir(prog.store());
    std::map<std::string, std::vector<std::string>> hashes;  // Message-ID -> attachments
    for (int i = 0; i < 3; ++i) {
      MimeMessage m;
      m.messageId = "t" + std::to_string(trial) + "m" + std::to_string(i) + "@example.org";
      m.subject = "Trial " + std::to_string(trial) + " mail " + std::to_string(i);
      for (int k = 0; k < 2; ++k) {
        std::string data = RandomBytes(rng, 500 + rng() % 3000);
        m.parts.push_back({"f" + std::to_string(k) + ".bin", data, {}, std::nullopt});
        hashes[m.messageId].push_back(Sha256(data));
      }
      Deliver(prog.store(), std::to_string(1709543700 + i) + ".M" + std::to_string(i) + "P2.t",
              Render(m));
    }
    // The settings and the secret are made before the race.
    ASSERT_EQ(prog.Run({pair.start == 'D' ? "detach-all" : "list", "Inbox"}).code, 0);

    const std::string ops[2] = {pair.first, pair.second};
    pid_t pids[2];
    for (int p = 0; p < 2; ++p)
      pids[p] = prog.Spawn({ops[p], "Inbox", "all"}, false, "p" + std::to_string(p));
    RunResult results[2];
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (int p = 0; p < 2; ++p) {
      int status = 0;
      while (waitpid(pids[p], &status, WNOHANG) != pids[p]) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << ops[p] << " hangs";
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
      results[p] = prog.Collect(pids[p], status, "p" + std::to_string(p));
      ASSERT_TRUE(results[p].code == 0 || results[p].code == 1) << results[p].err;
      // The summary counts each of the three mails once, however the race went.
      std::smatch of;
      if (std::regex_search(results[p].out, of, std::regex(" of ([0-9]+) "))) {
        EXPECT_LE(std::stoi(of[1]), 3) << ops[p] << ": " << results[p].out << results[p].err;
      }
      if (results[p].code != 0) {
        ++failures;
        // Every failure says why (mostly: the other process changed or renamed the item).
        const std::string& err = results[p].err;
        EXPECT_TRUE(err.find("stowbright: ") != std::string::npos ||
                    err.find("another program") != std::string::npos ||
                    err.find("moved or deleted") != std::string::npos)
            << ops[p] << " exited 1; stderr: " << err << "\nstdout: " << results[p].out;
        conflicts += err.find("changed by another program") != std::string::npos;
      }
    }

    auto folder = ReadFolder(prog.store());
    ASSERT_EQ(folder.size(), 3u) << "trial " << trial;
    for (const auto& m : folder) {
      char s0 = pair.start, a = Apply(ops[0], s0), b = Apply(ops[1], s0);
      std::set<char> allowed = {Apply(ops[1], a), Apply(ops[0], b)};
      // A process that failed may have left any of its items as they were.
      if (results[0].code != 0) allowed.insert({s0, b});
      if (results[1].code != 0) allowed.insert({s0, a});
      char now = StateOf(m, hashes.at(m.messageId));
      EXPECT_NE(now, '?') << "trial " << trial << ": an attachment of " << m.messageId
                          << " is lost (" << ops[0] << " " << results[0].code << ", " << ops[1]
                          << " " << results[1].code << ")";
      EXPECT_TRUE(allowed.count(now))
          << "trial " << trial << ": " << m.messageId << " is " << now << " after " << ops[0]
          << " (exit " << results[0].code << ") and " << ops[1] << " (exit " << results[1].code
          << ") from " << s0 << ": a failure was reported as success\n"
          << ops[0] << ": " << results[0].out << results[0].err << "\n"
          << ops[1] << ": " << results[1].out << results[1].err;
    }
  }
  std::cout << "[rewrites] " << trials << " trials, " << failures << " runs failed, " << conflicts
            << " of them naming the other program's change\n";
}

// Two `reattach-all` at once, one per folder, over mails whose attachments share
// their names across the folders (where one shared temporary copy per name swapped
// them and removed the saved files): 20 rounds, each detaching both folders at once
// and putting everything back at once. Every mail gets exactly its own attachments
// back, and every saved file ends in the trash, none unlinked. One mail per folder
// keeps a round short (no batch window to wait for).
TEST(Concurrency, TwoReattachAllsAtOnceSwapNothingAndLoseNothing) {
  const long rounds = EnvNumber("STOW_CONCURRENCY_ROUNDS", 20);
  TempDir tree("pairs");
  Program prog(tree.root(), tree.root() / "Maildir");
  MakeMaildir(prog.store());
  MakeMaildir(prog.store() / ".Other");
  ASSERT_EQ(prog.Run({"settings", "--set", "AttachmentNamingOption=4"}).code, 0);
  std::mt19937_64 rng(7);
  std::map<std::string, std::multiset<std::string>> hashes;  // message id -> attachments
  int serial = 0;
  for (const fs::path& dir : {prog.store(), prog.store() / ".Other"}) {
    MimeMessage m{"pair-" + std::to_string(serial) + "@example.org",
                  "Pair " + std::to_string(serial)};
    for (const char* name : {"invoice.pdf", "report.pdf", "invoice.pdf", "notes.txt"})
      m.parts.push_back({name, RandomBytes(rng, 150000 + serial), {}, {}});
    for (const auto& p : m.parts) hashes[m.messageId].insert(Sha256(p.data));
    Deliver(dir, std::to_string(1709543700 + serial) + ".M" + std::to_string(serial) + "P3.pair",
            Render(m));
    ++serial;
  }
  auto both = [&](const std::string& command) {
    pid_t inbox = prog.Spawn({command, "Inbox"}, false, "inbox");
    pid_t other = prog.Spawn({command, "Other"}, false, "other");
    int a = 0, b = 0;
    waitpid(inbox, &a, 0);
    waitpid(other, &b, 0);
    RunResult ra = prog.Collect(inbox, a, "inbox"), rb = prog.Collect(other, b, "other");
    EXPECT_EQ(ra.code, 0) << command << " Inbox: " << ra.err;
    EXPECT_EQ(rb.code, 0) << command << " Other: " << rb.err;
  };
  for (long round = 1; round <= rounds && !::testing::Test::HasFailure(); ++round) {
    both("detach-all");
    ASSERT_EQ(FilesIn(prog.attachments()).size(), 8u) << "round " << round;
    both("reattach-all");
    for (const fs::path& dir : {prog.store(), prog.store() / ".Other"}) {
      for (const auto& m : ReadFolder(dir)) {
        std::multiset<std::string> back;
        for (const auto& h : m.leafHashes)
          if (hashes[m.messageId].count(h)) back.insert(h);
        EXPECT_EQ(back, hashes[m.messageId]) << "round " << round << ": " << m.messageId;
      }
    }
    EXPECT_TRUE(FilesIn(prog.attachments()).empty()) << "round " << round;
    EXPECT_EQ(prog.TrashedFrom().size(), static_cast<std::size_t>(8 * round));
  }
}

}  // namespace
