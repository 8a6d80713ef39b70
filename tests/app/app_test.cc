// End-to-end tests of the stowbright program: each test builds a Maildir of real MIME
// messages in a fresh temporary folder, runs build/stowbright on it with its own
// HOME and settings folder, and checks the exit code, standard output and error, the
// --json output, the messages and the saved files.

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using ::testing::HasSubstr;
using ::testing::Not;

struct Result {
  int code = -1;
  std::string out;
  std::string err;
};

std::string ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string Base64(const std::string& data) {
  static const char* abc = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  std::size_t i = 0;
  for (; i + 2 < data.size(); i += 3) {
    unsigned n =
        (unsigned char)data[i] << 16 | (unsigned char)data[i + 1] << 8 | (unsigned char)data[i + 2];
    for (int k = 18; k >= 0; k -= 6) out += abc[(n >> k) & 63];
  }
  if (i + 1 == data.size()) {
    unsigned n = (unsigned char)data[i] << 16;
    out += abc[(n >> 18) & 63];
    out += abc[(n >> 12) & 63];
    out += "==";
  } else if (i + 2 == data.size()) {
    unsigned n = (unsigned char)data[i] << 16 | (unsigned char)data[i + 1] << 8;
    out += abc[(n >> 18) & 63];
    out += abc[(n >> 12) & 63];
    out += abc[(n >> 6) & 63];
    out += "=";
  }
  return out;
}

struct Attachment {
  std::string name;
  std::string data;
};

class AppTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/stowbright-app-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    ASSERT_NE(mkdtemp(buf.data()), nullptr);
    root_ = buf.data();
    store_ = root_ / "Maildir";
    home_ = root_ / "home";
    fs::create_directories(home_);
    MakeMaildir(store_);
    MakeMaildir(store_ / ".Sent Items");
    MakeMaildir(store_ / ".Inbox.Projects");
  }
  void TearDown() override { fs::remove_all(root_); }

  static void MakeMaildir(const fs::path& dir) {
    for (const char* sub : {"cur", "new", "tmp"}) fs::create_directories(dir / sub);
  }

  // A mail with an HTML body and the given attachments, delivered into dir's cur/.
  std::string Deliver(const fs::path& dir, const std::string& subject,
                      const std::vector<Attachment>& attachments, long when,
                      const std::string& sub = "cur") {
    std::string id = std::to_string(when) + ".M" + std::to_string(++serial_) + "P1.test";
    std::ostringstream m;
    m << "From: Ann <ann@example.org>\r\nTo: you@example.org\r\nSubject: " << subject
      << "\r\nDate: Mon, 04 Mar 2024 09:15:00 +0000\r\nMessage-ID: <" << id
      << "@example.org>\r\nMIME-Version: 1.0\r\n";
    std::string html = "<html><body><p>" + subject + "</p></body></html>";
    if (attachments.empty()) {
      m << "Content-Type: text/html; charset=utf-8\r\n\r\n" << html << "\r\n";
    } else {
      m << "Content-Type: multipart/mixed; boundary=\"b1\"\r\n\r\n--b1\r\n"
        << "Content-Type: text/html; charset=utf-8\r\n\r\n"
        << html << "\r\n";
      for (const auto& a : attachments) {
        m << "--b1\r\nContent-Type: application/octet-stream; name=\"" << a.name
          << "\"\r\nContent-Disposition: attachment; filename=\"" << a.name
          << "\"\r\nContent-Transfer-Encoding: base64\r\n\r\n"
          << Base64(a.data) << "\r\n";
      }
      m << "--b1--\r\n";
    }
    std::string file = id + (sub == "cur" ? ":2,S" : "");
    std::ofstream(dir / sub / file, std::ios::binary) << m.str();
    return id;
  }

  std::vector<std::string> Argv(const std::vector<std::string>& args) const {
    std::vector<std::string> argv = {std::string(STOW_BINARY_DIR) + "/stowbright", "--store",
                                     store_.string(), "--config", (root_ / "config").string()};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
  }

  pid_t Spawn(const std::vector<std::string>& args, const fs::path& out, const fs::path& err) {
    auto argv = Argv(args);
    pid_t pid = fork();
    if (pid == 0) {
      int in = open("/dev/null", O_RDONLY);
      int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      dup2(in, 0);
      dup2(o, 1);
      dup2(e, 2);
      setenv("HOME", home_.c_str(), 1);
      setenv("XDG_CONFIG_HOME", (home_ / ".config").c_str(), 1);
      unsetenv("XDG_DOCUMENTS_DIR");
      unsetenv("MAILDIR");
      std::vector<char*> cargv;
      for (auto& a : argv) cargv.push_back(a.data());
      cargv.push_back(nullptr);
      execv(cargv[0], cargv.data());
      _exit(127);
    }
    return pid;
  }

  Result Run(const std::vector<std::string>& args) {
    fs::path out = root_ / "out.txt", err = root_ / "err.txt";
    pid_t pid = Spawn(args, out, err);
    int status = 0;
    waitpid(pid, &status, 0);
    Result r;
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    r.out = ReadAll(out);
    r.err = ReadAll(err);
    return r;
  }

  json RunJson(const std::vector<std::string>& args) {
    auto all = args;
    all.push_back("--json");
    Result r = Run(all);
    EXPECT_EQ(r.code, 0) << r.err;
    return json::parse(r.out);
  }

  fs::path AttachmentDir() const { return home_ / "Documents" / "My Attachments"; }

  std::vector<std::string> SavedFileContents() const {
    std::vector<std::string> out;
    if (!fs::exists(AttachmentDir())) return out;
    for (auto& e : fs::directory_iterator(AttachmentDir())) out.push_back(ReadAll(e.path()));
    std::sort(out.begin(), out.end());
    return out;
  }

  fs::path root_, store_, home_;
  int serial_ = 0;
};

TEST_F(AppTest, FoldersListAndShowReadTheStore) {
  std::string pdf = "%PDF-1.4 tiny\n";
  Deliver(store_, "Report", {{"report.pdf", pdf}}, 1709543700);
  Deliver(store_, "Lunch?", {}, 1709543800);
  Deliver(store_ / ".Inbox.Projects", "Plan", {{"plan.txt", "1. go\r\n"}}, 1709543900);

  json folders = RunJson({"folders"});
  std::map<std::string, json> byName;
  for (auto& f : folders) byName[f["name"]] = f;
  ASSERT_TRUE(byName.count("Inbox"));
  ASSERT_TRUE(byName.count("Inbox/Projects"));
  ASSERT_TRUE(byName.count("Sent Items"));
  EXPECT_EQ(byName["Inbox"]["item_count"], 2);
  EXPECT_EQ(byName["Inbox/Projects"]["item_count"], 1);
  EXPECT_EQ(byName["Inbox/Projects"]["folder_path"], "\\\\Personal Folders\\Inbox\\Projects");

  json list = RunJson({"list", "Inbox"});
  ASSERT_EQ(list.size(), 2u);
  for (std::size_t i = 0; i < list.size(); ++i) {
    EXPECT_EQ(list[i]["index"], i + 1);
    for (const char* key :
         {"entry_id", "subject", "message_class", "attachment_count", "processed"})
      EXPECT_TRUE(list[i].contains(key)) << key;
    EXPECT_EQ(list[i]["processed"], false);
  }
  std::map<std::string, json> bySubject;
  for (auto& item : list) bySubject[item["subject"]] = item;
  EXPECT_EQ(bySubject["Report"]["attachment_count"], 1);
  EXPECT_EQ(bySubject["Lunch?"]["attachment_count"], 0);
  EXPECT_EQ(bySubject["Report"]["message_class"], "IPM.Note");

  // The full host folder path names the same folder as the short name, in any case.
  json byPath = RunJson({"list", "\\\\Personal Folders\\inbox\\projects"});
  ASSERT_EQ(byPath.size(), 1u);
  EXPECT_EQ(byPath[0]["subject"], "Plan");

  std::string id = bySubject["Report"]["entry_id"];
  json shown = RunJson({"show", "Inbox", id});
  EXPECT_EQ(shown["entry_id"], id);
  EXPECT_EQ(shown["subject"], "Report");
  ASSERT_EQ(shown["attachments"].size(), 1u);
  EXPECT_EQ(shown["attachments"][0]["name"], "report.pdf");
  EXPECT_EQ(shown["attachments"][0]["size"], pdf.size());
  EXPECT_EQ(shown["attachments"][0]["hidden"], false);
  EXPECT_THAT(shown["html_body"].get<std::string>(), HasSubstr("Report"));
  for (const char* key : {"received_time", "billing_information", "processed_attachments"})
    EXPECT_TRUE(shown.contains(key)) << key;
}

TEST_F(AppTest, UnknownFolderOrItemIsExitTwoNamingItAndChangesNothing) {
  Deliver(store_, "Report", {{"a.txt", "abc"}}, 1709543700);
  auto before = fs::directory_iterator(store_ / "cur")->path();

  Result r = Run({"list", "Nowhere"});
  EXPECT_EQ(r.code, 2);
  EXPECT_THAT(r.err, HasSubstr("'Nowhere'"));

  r = Run({"detach", "Inbox", "7"});
  EXPECT_EQ(r.code, 2);
  EXPECT_THAT(r.err, HasSubstr("'7'"));
  r = Run({"detach", "Inbox", "no-such-id"});
  EXPECT_EQ(r.code, 2);
  EXPECT_THAT(r.err, HasSubstr("'no-such-id'"));
  EXPECT_TRUE(fs::exists(before));
  EXPECT_TRUE(SavedFileContents().empty());

  r = Run({"frobnicate"});
  EXPECT_EQ(r.code, 2);
  // A store that does not exist is not created behind the user's back.
  fs::path missing = root_ / "no-maildir";
  r = Run({"--store", missing.string(), "folders"});
  EXPECT_EQ(r.code, 2);
  EXPECT_FALSE(fs::exists(missing));
}

TEST_F(AppTest, DetachAllThenReattachAllRoundTripsTheAttachments) {
  Deliver(store_, "One", {{"one.txt", "first file\r\n"}}, 1709543700);
  Deliver(store_, "Two", {{"two.bin", std::string("\x00\x01\xff\x7f", 4)}, {"three.txt", "3"}},
          1709543800);
  Deliver(store_, "None", {}, 1709543900);

  Result r = Run({"detach-all", "Inbox"});
  ASSERT_EQ(r.code, 0) << r.err << r.out;
  EXPECT_THAT(r.out, HasSubstr("Detached 3 files"));
  EXPECT_THAT(r.out, HasSubstr(AttachmentDir().string()));
  EXPECT_THAT(r.err, HasSubstr("Processing.... (3 Of 3)"));
  std::vector<std::string> expected = {"3", std::string("\x00\x01\xff\x7f", 4), "first file\r\n"};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(SavedFileContents(), expected);

  json list = RunJson({"list", "Inbox"});
  int processed = 0;
  for (auto& item : list) {
    if (item["subject"] == "None") continue;
    processed += item["processed"].get<bool>();
    json shown = RunJson({"show", "Inbox", item["entry_id"]});
    EXPECT_THAT(shown["html_body"].get<std::string>(), HasSubstr("tableKZOSTART"));
    EXPECT_FALSE(shown["processed_attachments"].get<std::string>().empty());
    for (auto& a : shown["attachments"]) EXPECT_EQ(a["hidden"], true) << a.dump();
  }
  EXPECT_EQ(processed, 2);

  r = Run({"reattach-all", "Inbox"});
  ASSERT_EQ(r.code, 0) << r.err << r.out;
  EXPECT_THAT(r.out, HasSubstr("Re-attached 3 files"));
  for (auto& item : RunJson({"list", "Inbox"})) {
    EXPECT_EQ(item["processed"], false);
    json shown = RunJson({"show", "Inbox", item["entry_id"]});
    EXPECT_THAT(shown["html_body"].get<std::string>(), Not(HasSubstr("tableKZOSTART")));
    // The hidden token added when nothing was left stays; the files come back visible.
    std::set<std::string> visible;
    for (auto& a : shown["attachments"])
      if (!a["hidden"].get<bool>()) visible.insert(a["name"]);
    if (item["subject"] == "Two") {
      EXPECT_EQ(visible, (std::set<std::string>{"two.bin", "three.txt"}));
    }
  }
}

TEST_F(AppTest, DryRunSaysWhereAndChangesNothing) {
  Deliver(store_, "One", {{"one.txt", "first"}}, 1709543700);
  std::string file = fs::directory_iterator(store_ / "cur")->path().string();
  std::string bytes = ReadAll(file);
  for (auto cmd : {std::vector<std::string>{"detach-all", "Inbox", "--dry-run"},
                   std::vector<std::string>{"detach", "Inbox", "1", "--dry-run"}}) {
    Result r = Run(cmd);
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr("one.txt"));
    EXPECT_THAT(r.out, HasSubstr(AttachmentDir().string()));
    EXPECT_EQ(ReadAll(file), bytes);
    EXPECT_TRUE(SavedFileContents().empty());
  }
}

TEST_F(AppTest, SelectionCommandsByNumberAndEntryId) {
  std::string a = Deliver(store_, "A", {{"a.txt", "aaa"}}, 1709543700);
  Deliver(store_, "B", {{"b.txt", "bbbb"}}, 1709543800);

  // One item by entry id: only it is detached.
  Result r = Run({"detach", "Inbox", a});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("Detached 1 file (3 bytes) from 1 of 1 item"));
  EXPECT_EQ(SavedFileContents(), std::vector<std::string>{"aaa"});
  std::map<std::string, bool> processed;
  for (auto& item : RunJson({"list", "Inbox"})) processed[item["subject"]] = item["processed"];
  EXPECT_TRUE(processed["A"]);
  EXPECT_FALSE(processed["B"]);

  // Remove links leaves the file; the item keeps no link block.
  r = Run({"remove-links", "Inbox", "all"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("Removed the links from 1 of 1 item"));
  EXPECT_EQ(SavedFileContents(), std::vector<std::string>{"aaa"});
}

TEST_F(AppTest, CopyNeedsAFolderAndLeavesTheItem) {
  Deliver(store_, "A", {{"a.txt", "aaa"}}, 1709543700);
  // No --to and nobody at a terminal: the prompt is cancelled and the command fails.
  Result r = Run({"copy", "Inbox", "1"});
  EXPECT_EQ(r.code, 1);
  EXPECT_THAT(r.err, HasSubstr("--to"));

  fs::path to = root_ / "copies";
  fs::create_directories(to);
  r = Run({"--to", to.string(), "copy", "Inbox", "1"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("Copied 1 file"));
  ASSERT_EQ(std::distance(fs::directory_iterator(to), fs::directory_iterator()), 1);
  EXPECT_EQ(ReadAll(fs::directory_iterator(to)->path()), "aaa");
  json list = RunJson({"list", "Inbox"});
  EXPECT_EQ(list[0]["processed"], false);
  EXPECT_EQ(list[0]["attachment_count"], 1);
}

TEST_F(AppTest, EveryCommandHasHelpAndMissingPiecesSaySo) {
  for (const char* cmd : {"folders",           "list",         "show",    "detach",   "detach-to",
                          "reattach",          "remove-links", "delete",  "copy",     "detach-all",
                          "reattach-all",      "reply",        "forward", "settings", "monitor",
                          "attachment-folder", "ribbon",       "run",     "about",    "watch"}) {
    Result r = Run({cmd, "--help"});
    EXPECT_EQ(r.code, 0) << cmd;
    EXPECT_THAT(r.out, HasSubstr("Usage")) << cmd;
  }
  Result r = Run({"about"});
  EXPECT_EQ(r.code, 3);
  EXPECT_THAT(r.err, HasSubstr("not available in this build"));
  r = Run({"run", "cmdNoSuchThing"});
  EXPECT_EQ(r.code, 2);
  EXPECT_THAT(r.err, HasSubstr("cmdNoSuchThing"));
}

TEST_F(AppTest, WatchStopsCleanlyOnSigtermAndSigint) {
  Deliver(store_, "A", {{"a.txt", "aaa"}}, 1709543700);
  for (int sig : {SIGTERM, SIGINT}) {
    std::string tag = std::to_string(sig);
    fs::path out = root_ / ("wout" + tag), err = root_ / ("werr" + tag);
    pid_t pid = Spawn({"watch"}, out, err);
    // Wait until the watcher says it is running.
    for (int i = 0; i < 100 && ReadAll(err).find("watching") == std::string::npos; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_THAT(ReadAll(err), HasSubstr("watching"));
    kill(pid, sig);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status)) << "signal " << sig;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_THAT(ReadAll(err), HasSubstr("shutting down"));
  }
}

}  // namespace
