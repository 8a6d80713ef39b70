// The shell contract (platform/shell.h), one suite run on the POSIX shell and on the
// tests' doubles, each set up for the same user: Documents in home/Documents, the
// test's folder for temporary files, programs that exit 7.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>
#include <memory>

#include "common/temp_dir.h"
#include "platform/memory/memory_shell.h"
#include "platform/posix/posix_shell.h"

namespace stow::platform {
namespace {

using stow::testing::ScopedEnv;
using stow::testing::TempDir;

struct Shells {
  std::shared_ptr<Shell> shell;
  std::shared_ptr<WshShell> wsh;
  std::function<void(bool)> handlerStarts;  // makes ShellOpen's handler start, or not
};
using Maker = Shells (*)(const TempDir&);

Shells Posix(const TempDir&) {
  auto shell = std::make_shared<posix::PosixShell>();
  return {shell, std::make_shared<posix::PosixWshShell>(),
          [shell](bool starts) { shell->SetOpenCommand(starts ? "true" : "no-such-opener"); }};
}

Shells Memory(const TempDir& dir) {
  auto shell = std::make_shared<mem::MemoryShell>();
  shell->SetSpecialFolder(CSIDL_PERSONAL, dir / "home/Documents");
  shell->SetSystemTempPath(dir.path());
  auto wsh = std::make_shared<mem::MemoryWshShell>();
  wsh->SetExitCode(7);
  return {shell, wsh, [shell](bool starts) { shell->SetShellOpenResult(starts); }};
}

class ShellContract : public ::testing::TestWithParam<Maker> {
 protected:
  TempDir dir;
  ScopedEnv home{"HOME", (dir / "home").c_str()};
  ScopedEnv config{"XDG_CONFIG_HOME", (dir / "config").c_str()};
  ScopedEnv tmp{"TMPDIR", dir.path().c_str()};
  Shells made = GetParam()(dir);
};

TEST_P(ShellContract, FoldersAreTheUsersAndUnknownOnesAreEmpty) {
  EXPECT_EQ(made.shell->SpecialFolderPath(CSIDL_PERSONAL), dir / "home/Documents");
  EXPECT_EQ(made.shell->SpecialFolderPath(26), "");
  EXPECT_EQ(made.shell->SystemTempPath(), dir.path());
  EXPECT_EQ(made.shell->ProgramFolder().rfind('/', 0), 0u);
}

TEST_P(ShellContract, OpenTellsWhetherTheHandlerStartedAndRunGivesTheExitCodeOnlyWhenWaiting) {
  made.handlerStarts(true);
  EXPECT_TRUE(made.shell->ShellOpen("https://example.org/a b"));
  made.handlerStarts(false);
  EXPECT_FALSE(made.shell->ShellOpen(dir / "a.pdf"));
  // A program (never a shell command line): its status when waited for.
  std::string seven = dir / "ends with seven";
  stow::testing::WriteAll(seven, "#!/bin/sh\nexit 7\n");
  ::chmod(seven.c_str(), 0755);
  EXPECT_EQ(made.wsh->Run("\"" + seven + "\" x", 1, true), 7);
  EXPECT_EQ(made.wsh->Run("\"" + seven + "\"", 7, false), 0);
}

INSTANTIATE_TEST_SUITE_P(Implementations, ShellContract, ::testing::Values(Posix, Memory),
                         [](const auto& info) { return info.index ? "Memory" : "Posix"; });

}  // namespace
}  // namespace stow::platform
