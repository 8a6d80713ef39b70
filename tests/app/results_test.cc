// End-to-end tests of what the stowbright commands report and what they leave alone:
// no hidden start-up sweeps, a dry run that changes nothing and lists what the detach
// then does, and summaries and --json output counted from what was done.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>

#include "common/maildir_harness.h"

namespace {

using namespace stow::testing;
using namespace stow::testing::reliability;
using nlohmann::json;
using ::testing::HasSubstr;

class ResultsTest : public ::testing::Test {
 protected:
  ResultsTest() {
    for (const char* dir : {"", ".Sent Items"}) MakeMaildir(store_ / dir);
  }
  void Put(const fs::path& dir, const std::string& subject, const std::vector<MimePart>& parts,
           const std::string& html = "") {
    std::string id = std::to_string(1709543700 + ++serial_);
    id += ".M" + id;
    Deliver(dir, id, Render({id + "@example.org", subject, html, parts}));
  }
  RunResult Run(const std::vector<std::string>& args) { return prog_.Run(args); }
  json Json(std::vector<std::string> args, int code = 0) {
    args.insert(args.begin(), "--json");
    RunResult r = Run(args);
    EXPECT_EQ(r.code, code) << args[1] << r.err;
    return json::parse(r.out);
  }
  // Mail, settings and saved files, each file by its hash.
  std::map<std::string, std::string> Everything() {
    auto all = TreeHashes(store_);
    all.merge(TreeHashes(prog_.config()));
    all.merge(TreeHashes(prog_.home()));
    all.merge(TreeHashes(prog_.tmp()));
    return all;
  }
  // The attachment names of one outcome list, with "saved" paths (drawn numbers as #).
  static std::set<std::string> Paths(const json& out, const char* what) {
    std::set<std::string> paths;
    for (const auto& item : out["items"])
      for (const auto& e : item[what])
        paths.insert(item["subject"].get<std::string>() + ": " +
                     std::regex_replace(e.value("path", e.value("name", std::string())),
                                        std::regex("[0-9]{5}|#####"), "#"));
    return paths;
  }

  TempDir tmp_{"results"};
  fs::path store_{tmp_.root() / "Maildir"};
  Program prog_{tmp_.root(), store_};
  int serial_ = 0;
};

TEST_F(ResultsTest, OnlyWatchAndSweepRunTheStartUpSweepsAndDryRunsChangeNothing) {
  for (const char* set : {"StartUpItemMonitoredFolders=1", "StartUpSentItems=1",
                          "SentItemsOption=1", "AttachmentNamingOption=2"})
    ASSERT_EQ(Run({"settings", "--set", set}).code, 0) << set;
  ASSERT_EQ(Run({"monitor", "add", "Inbox"}).code, 0);
  Put(store_, "In", {{"in.txt", "inbox file"}});
  Put(store_ / ".Sent Items", "Out", {{"out.txt", "sent file"}});
  fs::create_directories(tmp_.root() / "copies");
  auto before = Everything();
  for (std::vector<std::string> args : {std::vector<std::string>{"about"},
                                        {"ribbon", "Microsoft.Outlook.Explorer"},
                                        {"settings"},
                                        {"monitor", "list"},
                                        {"folders"},
                                        {"list", "Sent Items"}}) {
    EXPECT_EQ(Run(args).code, 0) << args[0];
    EXPECT_EQ(Everything(), before) << args[0];
  }
  // Every command that takes --dry-run, found from the help.
  std::map<std::string, std::vector<std::string>> dryRuns = {
      {"detach", {"detach", "Inbox", "all", "--dry-run"}},
      {"detach-all", {"detach-all", "Inbox", "--dry-run"}}};
  std::string help = Run({"--help"}).out;
  std::regex command("\n  ([a-z][a-z-]*) ");
  for (std::sregex_iterator it(help.begin(), help.end(), command), end; it != end; ++it) {
    std::string name = (*it)[1];
    if (Run({name, "--help"}).out.find("--dry-run") == std::string::npos) continue;
    ASSERT_TRUE(dryRuns.count(name)) << name << " takes --dry-run: add it here";
    RunResult r = Run(dryRuns[name]);
    EXPECT_EQ(r.code, 0) << name << r.err;
    EXPECT_THAT(r.out, HasSubstr("Would detach 1 file")) << name;
    EXPECT_EQ(Everything(), before) << name;
  }
  // A copy or a page saved is no sweep either: it succeeds and leaves the mail.
  RunResult r = Run({"--to", (tmp_.root() / "copies").string(), "copy", "Sent Items", "1"});
  EXPECT_EQ(r.code, 0) << r.err;
  ASSERT_EQ(Run({"settings", "--set", "StartUpSentItems=1"}).code, 0);
  EXPECT_EQ(Json({"list", "Sent Items"})[0]["attachment_count"], 1);
  EXPECT_EQ(Json({"list", "Inbox"})[0]["processed"], false);

  r = Run({"sweep"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("detached 1 file"));
  EXPECT_EQ(Json({"list", "Inbox"})[0]["processed"], true);
  EXPECT_EQ(Json({"list", "Sent Items"})[0]["attachment_count"], 0);
}

TEST_F(ResultsTest, TheDryRunListsWhatTheDetachThenDoes) {
  ASSERT_EQ(Run({"settings", "--set", "AttachmentNamingOption=4"}).code, 0);
  Put(store_, "Mixed",
      {{"a.txt", "one"},
       {"a.txt", "two"},
       {"plan.pdf", "%PDF", {}, {}, "doc1"},
       {"logo.png", "PNG", {}, {}, "logo1"},
       {std::string(252, 'n') + ".txt", "long"}},
      "<html><body><a href=\"cid:doc1\">plan</a></body></html>");
  Put(store_, "Invite",
      {{"", "", {"Content-Type: text/calendar; method=REQUEST"}, "BEGIN:VCALENDAR\r\n"},
       {"agenda.txt", "agenda"}});
  json plan = Json({"detach-all", "Inbox", "--dry-run"});
  json done = Json({"detach-all", "Inbox"});
  EXPECT_EQ(Paths(plan, "saved"), Paths(done, "saved"));
  EXPECT_EQ(Paths(plan, "kept"), Paths(done, "kept"));
  EXPECT_EQ(Paths(done, "saved").size(), 4u) << done.dump(1);
  EXPECT_EQ(Paths(done, "kept"), std::set<std::string>{"Mixed: logo.png"});
  for (const auto& item : done["items"])
    if (item["subject"] == "Invite") {
      EXPECT_EQ(item["changed"], false);
    }
}

TEST_F(ResultsTest, SummariesCountWhatWasDoneAndJsonNamesIt) {
  ASSERT_EQ(Run({"settings", "--set", "AttachmentNamingOption=4"}).code, 0);
  Put(store_, "Pair", {{"a.txt", "first"}, {"b.txt", "second"}});
  fs::path copies = tmp_.root() / "copies";
  fs::create_directories(copies);
  for (int i = 0; i < 2; ++i)
    EXPECT_THAT(Run({"--to", copies.string(), "copy", "Inbox", "1"}).out,
                HasSubstr("Copied 2 files (11 bytes)"));

  json detached = Json({"detach", "Inbox", "1"});
  ASSERT_EQ(detached["items"][0]["saved"].size(), 2u);
  fs::remove(detached["items"][0]["saved"][0]["path"].get<std::string>());
  json reattached = Json({"reattach", "Inbox", "1"}, 1);
  EXPECT_THAT(reattached["summary"].get<std::string>(), HasSubstr("Re-attached 1 file to 1"));
  EXPECT_EQ(reattached["items"][0]["failed"].size(), 1u);
  EXPECT_EQ(reattached["items"][0]["removed"].size(), 1u);

  ASSERT_EQ(Run({"detach", "Inbox", "1"}).code, 0);
  // Gone for good: from the trash too, where re-attach would find them.
  fs::remove_all(prog_.trash());
  for (const auto& f : FilesIn(prog_.attachments())) fs::remove(prog_.attachments() / f);
  RunResult r = Run({"run", "cmdReInstateAttachments", "Inbox", "1"});
  EXPECT_EQ(r.code, 1);
  EXPECT_THAT(r.out, HasSubstr("re-attached 0 files"));
  EXPECT_THAT(Run({"--yes", "delete", "Inbox", "1"}).out, HasSubstr("moved 0 saved files"));

  Put(store_, "Dated", {});
  Put(store_, "Kept", {});
  r = Run({"--no", "delete", "Inbox", "all"});
  EXPECT_EQ(r.code, 1);
  EXPECT_THAT(r.err, HasSubstr("Left 2 items unchanged (the question was answered No)"));
  EXPECT_TRUE(std::regex_search(Json({"show", "Inbox", "1"})["received_time"].get<std::string>(),
                                std::regex("T[0-9:]{8}[+-][0-9]{2}:[0-9]{2}$")));
}

}  // namespace
