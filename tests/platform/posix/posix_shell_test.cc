#include "platform/posix/posix_shell.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <thread>

#include "common/temp_dir.h"
#include "platform/com_error.h"
#include "platform/posix/process.h"

namespace stow::posix {
namespace {

using namespace stow::testing;

// True when this process has no child left (running or zombie).
bool NoChildren() {
  int status;
  return ::waitpid(-1, &status, WNOHANG) == -1 && errno == ECHILD;
}

// Waits up to two seconds for a file to have content.
std::string WaitForText(const std::string& path) {
  for (int i = 0; i < 200; ++i) {
    std::string text = ReadAll(path);
    if (!text.empty()) return text;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return {};
}

TEST(UserDirs, DocumentsFolderIsReadWithHomeExpanded) {
  std::string text =
      "# comment\n"
      "XDG_DESKTOP_DIR=\"$HOME/Desktop\"\n"
      "XDG_DOCUMENTS_DIR=\"$HOME/Dokumente\"\n";
  EXPECT_EQ(ParseUserDir(text, "XDG_DOCUMENTS_DIR", "/home/u"), "/home/u/Dokumente");
  EXPECT_EQ(ParseUserDir("XDG_DOCUMENTS_DIR=\"/srv/docs/\"\n", "XDG_DOCUMENTS_DIR", "/h"),
            "/srv/docs");
  EXPECT_EQ(ParseUserDir("XDG_DOCUMENTS_DIR=\"$HOME\"\n", "XDG_DOCUMENTS_DIR", "/h"), "/h");
  // Neither absolute nor under $HOME: not a usable answer.
  EXPECT_EQ(ParseUserDir("XDG_DOCUMENTS_DIR=\"docs\"\n", "XDG_DOCUMENTS_DIR", "/h"), "");
  EXPECT_EQ(ParseUserDir("XDG_MUSIC_DIR=\"$HOME/M\"\n", "XDG_DOCUMENTS_DIR", "/h"), "");
  EXPECT_EQ(ParseUserDir("#XDG_DOCUMENTS_DIR=\"$HOME/M\"\n", "XDG_DOCUMENTS_DIR", "/h"), "");
}

TEST(PosixShell, PersonalFolderFromUserDirsTempAndProgramFolders) {
  TempDir dir;
  ScopedEnv home("HOME", (dir / "home").c_str());
  ScopedEnv config("XDG_CONFIG_HOME", (dir / "config").c_str());
  PosixShell shell;
  ::mkdir((dir / "config").c_str(), 0755);
  WriteAll(dir / "config/user-dirs.dirs", "XDG_DOCUMENTS_DIR=\"$HOME/Papers\"\n");
  EXPECT_EQ(shell.SpecialFolderPath(platform::CSIDL_PERSONAL), dir / "home/Papers");
  ScopedEnv tmp("TMPDIR", nullptr);
  EXPECT_EQ(shell.SystemTempPath(), "/tmp");
  std::string folder = shell.ProgramFolder();
  struct stat st;
  EXPECT_EQ(::stat((folder + "/test_posix").c_str(), &st), 0) << folder;
  shell.SetProgramFolder("/opt/x");
  EXPECT_EQ(shell.ProgramFolder(), "/opt/x");
  // Installed: the manual is under share/doc, not beside the program in bin/.
  TempDir prefix;
  std::filesystem::create_directories(prefix / "bin");
  shell.SetProgramFolder(prefix / "bin");
  EXPECT_EQ(shell.ManualFolder(), prefix / "bin");
  std::filesystem::create_directories(prefix / "share/doc/stowbright");
  EXPECT_EQ(shell.ManualFolder(), prefix / "bin/../share/doc/stowbright");
}

// A script at dir/name with this body.
std::string Script(const TempDir& dir, const std::string& name, const std::string& body) {
  std::string path = dir / name;
  WriteAll(path, "#!/bin/sh\n" + body + "\n");
  ::chmod(path.c_str(), 0755);
  return path;
}

TEST(PosixShell, ShellOpenStartsTheOpenerDetached) {
  TempDir dir;
  PosixShell shell;
  shell.SetOpenCommand(
      Script(dir, "opener.sh", "printf '%s' \"$1\" > \"" + (dir / "opened") + "\""));
  EXPECT_TRUE(shell.ShellOpen("https://example.org/a b"));
  EXPECT_EQ(WaitForText(dir / "opened"), "https://example.org/a b");
  EXPECT_TRUE(NoChildren());
}

TEST(PosixWshShell, RunStartsProgramsWithoutAShellAndOpensTheRest) {
  TempDir dir;
  PosixWshShell sh;
  std::string write = Script(dir, "write it", "printf '%s|%s' \"$1\" \"$2\" > \"$3\"");
  // Quotes group words; nothing is a shell's to read ($, ;, >).
  EXPECT_EQ(sh.Run("\"" + write + "\" \"a b\" $HOME;x " + (dir / "out"), 1, true), 0);
  EXPECT_EQ(ReadAll(dir / "out"), "a b|$HOME;x");
  EXPECT_EQ(sh.Run(Script(dir, "term", "kill -TERM $$"), 1, true), 128 + SIGTERM);
  EXPECT_THROW(sh.Run("no-such-program-xyz", 1, true), ComError);
  EXPECT_THROW(sh.Run("exit 7", 1, true), ComError);

  // Addresses and documents go to the opener; one that fails is named.
  sh.SetOpenCommand(Script(dir, "opener", "printf '%s' \"$1\" > \"" + (dir / "opened") + "\""));
  EXPECT_EQ(sh.Run("https://example.org/a", 1, false), 0);
  EXPECT_EQ(WaitForText(dir / "opened"), "https://example.org/a");
  sh.SetOpenCommand(Script(dir, "failing", "exit 3"));
  try {
    sh.Run("https://example.org/b", 1, false);
    ADD_FAILURE() << "a failing opener was not reported";
  } catch (const ComError& e) {
    EXPECT_NE(e.Description().find("https://example.org/b"), std::string::npos);
    EXPECT_NE(e.Description().find("status 3"), std::string::npos);
  }
  auto failures = TakeOpenFailures();
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_NE(failures[0].find("https://example.org/b"), std::string::npos);
  EXPECT_TRUE(NoChildren());
}

TEST(PosixWshShell, BackgroundRunReturnsAtOnceAndLeavesNoZombie) {
  TempDir dir;
  PosixWshShell sh;
  std::string later = Script(dir, "later", "sleep 0.3; printf done > \"$1\"; exit 5");
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(sh.Run("\"" + later + "\" " + (dir / "bg"), 7, false), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(250));
  EXPECT_TRUE(NoChildren());
  EXPECT_EQ(WaitForText(dir / "bg"), "done");
}

TEST(Process, ProgramsThatCannotStartAreReportedWithTheirError) {
  int err = 0;
  EXPECT_FALSE(RunAndWait({"/nonexistent/program"}, err).has_value());
  EXPECT_EQ(err, ENOENT);
  EXPECT_EQ(SpawnDetached({"/nonexistent/program"}), ENOENT);
  EXPECT_EQ(SpawnDetached({}), EINVAL);
  EXPECT_TRUE(NoChildren());
  EXPECT_EQ(FindProgram("sh").empty(), false);
  EXPECT_EQ(FindProgram("no-such-program-xyz"), "");
  EXPECT_EQ(FindProgram("/bin/sh"), "/bin/sh");
}

}  // namespace
}  // namespace stow::posix
