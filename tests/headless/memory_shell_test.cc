#include "platform/memory/memory_shell.h"

#include <gtest/gtest.h>

namespace stow::mem {
namespace {

TEST(MemoryShell, RecordsOpensAndAnswersWhatWasSet) {
  MemoryShell shell;
  EXPECT_TRUE(shell.ShellOpen("http://a"));
  shell.SetShellOpenResult(false);
  EXPECT_FALSE(shell.ShellOpen("/x/y.pdf"));
  EXPECT_EQ(shell.Opened(), (std::vector<std::string>{"http://a", "/x/y.pdf"}));
  EXPECT_EQ(shell.SpecialFolderPath(platform::CSIDL_PERSONAL), "");
  shell.SetSpecialFolder(platform::CSIDL_PERSONAL, "/home/u/Documents");
  EXPECT_EQ(shell.SpecialFolderPath(platform::CSIDL_PERSONAL), "/home/u/Documents");
  shell.SetSystemTempPath("");
  EXPECT_EQ(shell.SystemTempPath(), "");
  shell.SetProgramFolder("/p");
  EXPECT_EQ(shell.ProgramFolder(), "/p");
}

TEST(MemoryWshShell, RecordsCommandsAndFailsOnDemand) {
  MemoryWshShell sh;
  sh.SetExitCode(4);
  EXPECT_EQ(sh.Run("a", 1, true), 4);
  EXPECT_EQ(sh.Run("b", 7, false), 0);
  sh.FailWith(errnum::kCannotCreateObject, "cannot start");
  try {
    sh.Run("regsvr32 scrrun.dll /s", 7, false);
    FAIL() << "no error";
  } catch (const ComError& e) {
    EXPECT_EQ(e.Number(), errnum::kCannotCreateObject);
    EXPECT_EQ(e.Description(), "cannot start");
  }
  sh.ClearFailure();
  EXPECT_EQ(sh.Run("c", 1, true), 4);
  EXPECT_EQ(sh.Commands(), (std::vector<std::string>{"a", "b", "regsvr32 scrrun.dll /s", "c"}));
  ASSERT_EQ(sh.Calls().size(), 4u);
  EXPECT_EQ(sh.Calls()[1].windowStyle, 7);
  EXPECT_FALSE(sh.Calls()[1].wait);
}

}  // namespace
}  // namespace stow::mem
