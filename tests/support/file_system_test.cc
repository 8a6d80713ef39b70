#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <set>
#include <string>

#include "common/checks.h"
#include "support/modFileSystem.h"
#include "support/modOutlookHelpers.h"
#include "support_env.h"

namespace stow {
namespace {

using namespace modFileSystem;
using namespace stow::testing;

TEST(PathText, SeparatorsAndExtensions) {
  struct Case {
    std::string (*op)(const std::string&);
    std::string in, out;
  };
  auto* strip = &StripTrailingSeparator;
  auto* after = &TextAfterFirstSeparator;
  auto* ext = &GetDotExtension;
  for (const Case& c : std::vector<Case>{
           {strip, "C:\\Temp\\", "C:\\Temp"},  // one separator only
           {strip, "C:\\Temp\\\\", "C:\\Temp\\"},
           {strip, "/tmp/x/", "/tmp/x"},
           {strip, "/tmp/x", "/tmp/x"},
           {strip, "/", ""},
           {strip, "", ""},
           {after, "\\\\S\\P\\f.pdf", "\\S\\P\\f.pdf"},
           {after, "a/b\\c", "b\\c"},
           {after, "x\\", ""},
           {after, "none", ""},
           {after, "", ""},
           {ext, "README", "README"},
           {ext, "a.tar.gz", ".gz"},
           {ext, "name.", ""},
           {ext, ".bashrc", ".bashrc"},
           {ext, "", ""},
           {ext, "r\xC3\xA9sum\xC3\xA9.PDF", ".PDF"},
       })
    EXPECT_EQ(c.op(c.in), c.out) << c.in;
  EXPECT_EQ(JoinPath("/a/b/", "c.txt"), "/a/b/c.txt");
  EXPECT_EQ(JoinPath("/a/b", "c.txt"), "/a/b/c.txt");
  EXPECT_EQ(JoinPath("/a/b//", "c.txt"), "/a/b//c.txt");
}

bool IsSixDigitNumber(const std::string& s) {
  if (s.size() != 6) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  long n = std::strtol(s.c_str(), nullptr, 10);
  return n >= 100000 && n < 999999;
}

TEST(CleanFileName, RemovesWhatNamesNoFileAndNamesOfNothingBecomeARandomNumber) {
  EXPECT_EQ(CleanFileName("a:b|c"), "a-bc");
  EXPECT_EQ(CleanFileName("x?/\\*<>|\"y.pdf"), "xy.pdf");
  EXPECT_EQ(CleanFileName("12:30 report.pdf"), "12-30 report.pdf");
  EXPECT_EQ(CleanFileName("r\xC3\xA9sum\xC3\xA9.pdf"), "r\xC3\xA9sum\xC3\xA9.pdf");
  EXPECT_EQ(CleanFileName("..pdf"), "..pdf");
  EXPECT_EQ(CleanFileName(std::string("ev\0il\n\t.pdf\x7F", 12)), "evil.pdf");
  for (std::string name : {"???", "", ".", "..", "/..", "\x01\x02"})
    EXPECT_TRUE(IsSixDigitNumber(CleanFileName(name))) << "for [" << name << "]";
}

TEST(GetRandomNumber, StaysInRangeUnforcedByTheClockAndOverflowsBeyond32Bits) {
  std::set<double> seen;
  for (int i = 0; i < 2000; ++i) {
    double n = GetRandomNumber(1000, 1004);
    EXPECT_GE(n, 1000);
    EXPECT_LT(n, 1004);
    EXPECT_EQ(n, static_cast<double>(static_cast<long>(n)));
    seen.insert(n);
  }
  EXPECT_EQ(seen.size(), 4u);  // every value below high turns up
  EXPECT_EQ(GetRandomNumber(5, 6), 5);
  // Calls within one clock tick: a generator reseeded from the clock would repeat.
  seen.clear();
  for (int i = 0; i < 20; ++i) seen.insert(GetRandomNumber(11111111, 99999999));
  EXPECT_GT(seen.size(), 15u);
  EXPECT_EQ(ErrorNumberOf([] { GetRandomNumber(-2000000000, 2000000000); }), errnum::kOverflow);
}

TEST(InitializeFileSystem, RepairsTheRuntimeOnceThenSucceeds) {
  SupportEnv env;
  int attempts = 0;
  env.factory.Register("Scripting.FileSystemObject", [&]() -> ComPtr {
    if (++attempts == 1) return nullptr;
    return std::make_shared<posix::PosixFileSystem>();
  });
  InitializeFileSystem();
  ASSERT_TRUE(modGlobal::objFSO);
  ASSERT_EQ(env.ws->Calls().size(), 1u);
  EXPECT_EQ(env.ws->Calls()[0].command, "regsvr32 scrrun.dll /s");
  EXPECT_EQ(env.ws->Calls()[0].windowStyle, 2);
  EXPECT_FALSE(env.ws->Calls()[0].wait);
  EXPECT_TRUE(env.ui.Shows().empty());
  InitializeFileSystem();  // already there: nothing created
  EXPECT_EQ(attempts, 2);
}

TEST(InitializeFileSystem, AFailureAfterTheRepairIsReportedAndNotRepairedAgain) {
  SupportEnv env;
  env.StartHost();
  auto& reports = env.Reports();
  env.factory.FailCreation("Scripting.FileSystemObject");
  InitializeFileSystem();
  EXPECT_FALSE(modGlobal::objFSO);
  EXPECT_EQ(env.ws->Commands(), std::vector<std::string>{"regsvr32 scrrun.dll /s"});
  EXPECT_EQ(env.factory.CreateCount("Scripting.FileSystemObject"), 2);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_NE(reports[0].find("In Function: FileModule.Initialize\r\n"), std::string::npos);
  EXPECT_NE(reports[0].find("Exception Number: 429\r\n"), std::string::npos);

  InitializeFileSystem();
  EXPECT_EQ(env.ws->Commands().size(), 1u);  // no second repair
  EXPECT_EQ(env.factory.CreateCount("Scripting.FileSystemObject"), 3);
  EXPECT_EQ(reports.size(), 2u);

  env.factory.FailCreation("Scripting.FileSystemObject", false);
  InitializeFileSystem();
  EXPECT_TRUE(modGlobal::objFSO);
}

TEST(CreateDictionary, TextCompareWithItsOwnRepairFlag) {
  SupportEnv env;
  env.StartHost();
  auto& reports = env.Reports();
  auto d = CreateDictionary();
  ASSERT_TRUE(d);
  EXPECT_EQ(d->CompareMode(), platform::Dictionary::kTextCompare);

  // Using up the file-system object's repair leaves the dictionary's.
  env.factory.FailCreation("Scripting.FileSystemObject");
  InitializeFileSystem();
  int made = 0;
  env.factory.Register("Scripting.Dictionary", [&]() -> ComPtr {
    return ++made == 1 ? nullptr : std::make_shared<platform::Dictionary>();
  });
  d = CreateDictionary();
  ASSERT_TRUE(d);
  EXPECT_EQ(d->CompareMode(), platform::Dictionary::kTextCompare);
  EXPECT_EQ(env.ws->Commands(),
            (std::vector<std::string>{"regsvr32 scrrun.dll /s", "regsvr32 scrrun.dll /s"}));
  EXPECT_EQ(reports.size(), 1u);  // the file-system failure only

  env.factory.FailCreation("Scripting.Dictionary");
  EXPECT_FALSE(CreateDictionary());
  EXPECT_EQ(env.ws->Commands().size(), 2u);
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_NE(reports[1].find("In Function: Scripting.Initialize\r\n"), std::string::npos)
      << reports[1];
}

TEST(TemporaryPath, FileSystemFolderElseSystemPath) {
  SupportEnv env;
  EXPECT_FALSE(TemporaryPath().empty());
  ASSERT_TRUE(modGlobal::objFSO);

  class NoTempFolder : public posix::PosixFileSystem {
   public:
    std::string GetSpecialFolder(int) override { Raise(errnum::kPathNotFound, "fs", "none"); }
  };
  modGlobal::objFSO = std::make_shared<NoTempFolder>();
  env.shell.SetSystemTempPath(std::string("/var/tmp\0garbage", 16));
  EXPECT_EQ(TemporaryPath(), "/var/tmp");
  EXPECT_TRUE(env.ui.Shows().empty());
}

TEST(RunApp, AddressesOpenWithoutLookingForAProgramThroughTheShellObjectElseTheShell) {
  SupportEnv env;
  RunApp("hTTp://www.example.org/page", "", "");
  RunApp("MAILTO:someone@example.org", "", "/nowhere");
  EXPECT_EQ(env.ws->Commands(), (std::vector<std::string>{"hTTp://www.example.org/page",
                                                          "MAILTO:someone@example.org"}));
  EXPECT_EQ(env.factory.CreateCount("Scripting.FileSystemObject"), 0);
  EXPECT_TRUE(env.shell.Opened().empty());
  // Without a shell object the address goes to the shell; a failure is not repeated.
  env.ws->FailWith(errnum::kFileNotFound, "cannot run");
  RunApp("https://a.example", "", "");
  env.factory.FailCreation("Wscript.Shell");
  RunApp("http://b.example", "", "");
  EXPECT_EQ(env.shell.Opened(), (std::vector<std::string>{"http://b.example"}));
  EXPECT_TRUE(env.ui.MessageBoxes().empty());
  EXPECT_TRUE(env.ui.Shows().empty());
}

TEST(RunApp, ProgramInFolderElseInstallFolderElseNothingAndAFailureToStartIsExplained) {
  SupportEnv env;
  TempDir dir;
  std::ofstream(dir.path() + "/tool.exe") << "x";
  RunApp("tool", "-a b", dir.path() + "/");
  ASSERT_EQ(env.ws->Calls().size(), 1u);
  EXPECT_EQ(env.ws->Calls()[0].command, "\"" + dir.path() + "/tool.exe\" -a b");
  EXPECT_EQ(env.ws->Calls()[0].windowStyle, 1);

  // No such program in the folder: the installation folder is tried.
  env.shell.SetProgramFolder(dir.path());
  RunApp("tool", "", "/nowhere");
  ASSERT_EQ(env.ws->Calls().size(), 2u);
  EXPECT_EQ(env.ws->Calls()[1].command, "\"" + dir.path() + "/tool.exe\" ");

  RunApp("missing", "", dir.path());
  EXPECT_EQ(env.ws->Calls().size(), 2u);
  EXPECT_TRUE(env.ui.MessageBoxes().empty());

  // One that fails to start is explained.
  env.ws->FailWith(errnum::kPermissionDenied, "Permission denied");
  RunApp("tool", "", dir.path());
  ASSERT_EQ(env.ui.MessageBoxes().size(), 1u);
  const auto& box = env.ui.MessageBoxes()[0];
  EXPECT_EQ(box.prompt, "Exception occured when running the file " + dir.path() +
                            "/tool.exe\r\nPermission denied");
  EXPECT_EQ(box.style, ui::vbCritical);
  EXPECT_EQ(box.title, "Stowbright for Outlook");
}

TEST(CreateObjectEx, FallsBackToTheHostAndHonoursThePreference) {
  SupportEnv env;
  platform::ObjectFactory hostFactory;
  int hostMade = 0;
  hostFactory.Register("Only.Host", [&]() -> ComPtr {
    ++hostMade;
    return std::make_shared<platform::Dictionary>();
  });
  env.store = std::make_shared<mem::MemoryStore>();
  env.host = std::make_shared<hostapp::HostApplication>(env.store, "14.0", nullptr, &hostFactory);
  modGlobal::objOutlook = env.host;

  EXPECT_TRUE(modOutlookCode::CreateObjectEx("Only.Host", false));
  EXPECT_EQ(hostMade, 1);
  EXPECT_TRUE(modOutlookCode::CreateObjectEx("Scripting.Dictionary", true));  // host cannot
  EXPECT_EQ(env.factory.CreateCount("Scripting.Dictionary"), 1);
  hostFactory.Register("Scripting.Dictionary", [&]() -> ComPtr {
    ++hostMade;
    return std::make_shared<platform::Dictionary>();
  });
  EXPECT_TRUE(modOutlookCode::CreateObjectEx("Scripting.Dictionary", true));
  EXPECT_EQ(hostMade, 2);
  EXPECT_EQ(env.factory.CreateCount("Scripting.Dictionary"), 1);
  EXPECT_FALSE(modOutlookCode::CreateObjectEx("Nobody.Makes.This", false));
  // Without a host only the system's objects can be made.
  modGlobal::objOutlook.reset();
  EXPECT_FALSE(modOutlookCode::CreateObjectEx("Only.Host", false));
  EXPECT_TRUE(modOutlookCode::CreateObjectEx("Scripting.Dictionary", true));
  EXPECT_TRUE(env.ui.Shows().empty());
}

}  // namespace
}  // namespace stow
