// What the POSIX file system adds to the file system contract (tests/contract/
// file_system_contract.cc): working folders, the errno mapping, full and read-only
// volumes.

#include "platform/posix/posix_file_system.h"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "common/checks.h"
#include "common/process.h"
#include "common/temp_dir.h"
#include "platform/com_error.h"

namespace stow::posix {
namespace {

using namespace stow::testing;

class PosixFileSystemTest : public ::testing::Test {
 protected:
  TempDir dir;
  PosixFileSystem fs;
};

bool Exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

TEST_F(PosixFileSystemTest, WorkingFolderIsPrivateFreshAndGoesWithItsProcess) {
  {
    ScopedEnv tmp("TMPDIR", dir.path().c_str());
    ScopedEnv none("XDG_RUNTIME_DIR", nullptr);
    EXPECT_EQ(WorkingFolderBase(), dir.path());
    ::mkdir((dir / "run").c_str(), 0755);
    ScopedEnv open("XDG_RUNTIME_DIR", (dir / "run").c_str());
    EXPECT_EQ(WorkingFolderBase(), dir.path());  // others may enter it
    ::chmod((dir / "run").c_str(), 0700);
    EXPECT_EQ(WorkingFolderBase(), dir / "run");
  }
  WriteAll(dir / "outside", "keep");
  std::string path;
  {
    WorkingFolder mine(dir.path()), other(dir.path());
    path = mine.Path();
    EXPECT_EQ(mine.Path(), path);
    EXPECT_NE(other.Path(), path);
    EXPECT_EQ(path.rfind(dir / "stowbright-work-", 0), 0u) << path;
    struct stat st;
    ASSERT_EQ(::lstat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    fs.LinkFile(dir / "outside", path + "/copy.pdf");
    EXPECT_EQ(ErrorOf([&] { fs.LinkFile(dir / "outside", path + "/copy.pdf"); }).Number(),
              errnum::kFileAlreadyExists);
    std::string sub = fs.CreatePrivateFolder(path);
    WriteAll(sub + "/x", "x");
    // The folder of a running process is never swept.
    SweepEndedWorkingFolders(dir.path());
    EXPECT_TRUE(Exists(path + "/copy.pdf"));
  }
  EXPECT_FALSE(Exists(path));
  EXPECT_EQ(ReadAll(dir / "outside"), "keep");
  EXPECT_THROW(fs.GetSpecialFolder(platform::WindowsFolder), ComError);
  EXPECT_THROW(fs.GetSpecialFolder(99), ComError);
}

TEST_F(PosixFileSystemTest, SweepTakesOnlyFoldersThatEndedProcessesOfTheUserLeft) {
  ::mkdir((dir / "outside").c_str(), 0700);
  WriteAll(dir / "outside/keep", "keep");
  auto folder = [&](const std::string& name, mode_t mode) {
    ::mkdir((dir / name).c_str(), mode);
    ::chmod((dir / name).c_str(), mode);
    return dir / name;
  };
  std::string ended = folder("stowbright-work-123-abcDEF", 0700);
  WriteAll(ended + "/copy.pdf", "c");
  ::symlink((dir / "outside/keep").c_str(), (ended + "/link").c_str());
  ::symlink((dir / "outside").c_str(), (ended + "/folder-link").c_str());
  ::mkdir((ended + "/d-1").c_str(), 0700);
  WriteAll(ended + "/d-1/f", "f");
  std::string shared = folder("stowbright-work-124-abcDEF", 0755);
  std::string otherName = folder("stowbright-work-125-abc", 0700);
  ::symlink((dir / "outside").c_str(), (dir / "stowbright-work-126-abcDEF").c_str());

  SweepEndedWorkingFolders(dir.path());
  EXPECT_FALSE(Exists(ended));
  EXPECT_TRUE(Exists(shared));
  EXPECT_TRUE(Exists(otherName));
  EXPECT_TRUE(Exists(dir / "stowbright-work-126-abcDEF"));
  EXPECT_EQ(ReadAll(dir / "outside/keep"), "keep");
}

TEST_F(PosixFileSystemTest, OnlyWorkingFileNamesOfThisHostAndAnEndedProcessAreAbandoned) {
  std::string name = fs.NewWorkingFileName(dir.path(), false);
  ASSERT_EQ(name.rfind(".stowbright:", 0), 0u) << name;
  std::string host = name.substr(12, name.find(':', 12) - 12);
  pid_t ended = stow::testing::EndedPid();
  auto named = [&](const std::string& h, long pid, const std::string& number) {
    return ".stowbright:" + h + ":" + std::to_string(pid) + ":" + number + ".partial";
  };
  EXPECT_TRUE(fs.IsAbandonedWorkingFile(named(host, ended, "123456789")));
  EXPECT_TRUE(fs.IsAbandonedWorkingFile(dir / named(host, ended, "1")));
  for (const std::string& kept :
       {named(host, getpid(), "1"), named(host, ended, "x"), named("otherhost", ended, "1"),
        ".stowbright-" + host + "-" + std::to_string(ended) + "-1.partial",
        ".stowbright-partial-" + std::to_string(ended) + "-1", std::string("user.txt")})
    EXPECT_FALSE(fs.IsAbandonedWorkingFile(kept)) << kept;
}

TEST(PosixFileErrors, SystemErrorsMapToTheRuntimeNumbers) {
  TempDir dir;
  EXPECT_EQ(ErrorNumberFor(ENOSPC, dir / "x"), errnum::kDiskFull);
  EXPECT_EQ(ErrorNumberFor(EDQUOT, dir / "x"), errnum::kDiskFull);
  EXPECT_EQ(ErrorNumberFor(EACCES, dir / "x"), errnum::kPermissionDenied);
  EXPECT_EQ(ErrorNumberFor(EPERM, dir / "x"), errnum::kPermissionDenied);
  EXPECT_EQ(ErrorNumberFor(EROFS, dir / "x"), errnum::kPermissionDenied);
  EXPECT_EQ(ErrorNumberFor(EEXIST, dir / "x"), errnum::kFileAlreadyExists);
  EXPECT_EQ(ErrorNumberFor(ENOENT, dir / "x"), errnum::kFileNotFound);
  EXPECT_EQ(ErrorNumberFor(ENOENT, dir / "y/x"), errnum::kPathNotFound);
  EXPECT_EQ(ErrorDescription(errnum::kDiskFull, "/a/b"), "Disk full: /a/b");
  EXPECT_EQ(ErrorDescription(errnum::kPathNotFound, "/x/y"), "Path not found: /x/y");
}

// A tiny tmpfs shows how a full disk and a read-only file system are reported.
// Mounting needs privileges; without them these tests skip.
class SmallVolumeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    mountPoint = dir / "vol";
    ::mkdir(mountPoint.c_str(), 0755);
  }
  bool Mount(const char* options) {
    if (::mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, options) != 0) return false;
    mounted = true;
    return true;
  }
  void TearDown() override {
    if (mounted) ::umount2(mountPoint.c_str(), MNT_DETACH);
  }
  TempDir dir;
  std::string mountPoint;
  bool mounted = false;
  PosixFileSystem fs;
};

TEST_F(SmallVolumeTest, FullDiskIsReportedAndLeavesNothingBehindAndReadOnlyRefusesWrites) {
  if (!Mount("size=64k")) GTEST_SKIP() << "cannot mount a tmpfs here";
  std::string big(512 * 1024, 'z');
  std::string path = mountPoint + "/big.bin";
  ComError e = ErrorOf([&] { fs.WriteNewFile(path, big); });
  EXPECT_EQ(e.Number(), errnum::kDiskFull);
  EXPECT_EQ(e.Description(), "Disk full: " + path);
  EXPECT_FALSE(fs.FileExists(path));

  std::string src = dir / "big.src";
  WriteAll(src, big);
  e = ErrorOf([&] { fs.CopyFile(src, mountPoint + "/copy.bin", false); });
  EXPECT_EQ(e.Number(), errnum::kDiskFull);
  EXPECT_TRUE(fs.ListFolder(mountPoint).empty());

  // A read-only volume refuses writes.
  ASSERT_EQ(::mount(nullptr, mountPoint.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, "size=64k"), 0);
  path = mountPoint + "/f";
  e = ErrorOf([&] { fs.WriteNewFile(path, "x"); });
  EXPECT_EQ(e.Number(), errnum::kPermissionDenied);
  EXPECT_EQ(e.Description(), "Permission denied: " + path);
  EXPECT_EQ(ErrorOf([&] { fs.CreateFolder(mountPoint + "/d"); }).Number(),
            errnum::kPermissionDenied);
}

}  // namespace
}  // namespace stow::posix
