#include "platform/posix/posix_file_system.h"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/com_error.h"
#include "common/scratch_home.h"
#include "posix/temp_dir.h"

namespace stow::posix {
namespace {

// Files these tests trash go to a trash of their own.
const std::string& scratchHome = stow::testing::UseScratchHome();

using stow::testing::ReadText;
using stow::testing::ScopedEnv;
using stow::testing::TempDir;
using stow::testing::WriteText;

// Runs op and returns the ComError it raised; fails the test when it raised none.
template <class F>
ComError ErrorOf(F&& op) {
  try {
    op();
  } catch (const ComError& e) {
    return e;
  }
  ADD_FAILURE() << "no error raised";
  return ComError(0, "", "");
}

class PosixFileSystemTest : public ::testing::Test {
 protected:
  TempDir dir;
  PosixFileSystem fs;
};

TEST_F(PosixFileSystemTest, ExistenceTellsFilesFromFolders) {
  WriteText(dir / "a.txt", "x");
  EXPECT_TRUE(fs.FileExists(dir / "a.txt"));
  EXPECT_FALSE(fs.FolderExists(dir / "a.txt"));
  EXPECT_TRUE(fs.FolderExists(dir.path()));
  EXPECT_FALSE(fs.FileExists(dir.path()));
  EXPECT_FALSE(fs.FileExists(dir / "missing"));
  EXPECT_FALSE(fs.FileExists(""));
  EXPECT_FALSE(fs.FolderExists(""));
}

TEST_F(PosixFileSystemTest, WriteNewFileWritesAndNeverReplaces) {
  std::string path = dir / "new.bin";
  std::string bytes("a\0b\xff", 4);
  fs.WriteNewFile(path, bytes);
  EXPECT_EQ(ReadText(path), bytes);
  EXPECT_EQ(fs.ReadFile(path), bytes);
  EXPECT_EQ(fs.FileSize(path), 4);

  ComError e = ErrorOf([&] { fs.WriteNewFile(path, "other"); });
  EXPECT_EQ(e.Number(), errnum::kFileAlreadyExists);
  EXPECT_EQ(e.Description(), "File already exists: " + path);
  EXPECT_EQ(ReadText(path), bytes);

  fs.WriteNewFile(dir / "empty", "");
  EXPECT_TRUE(fs.FileExists(dir / "empty"));
  EXPECT_EQ(fs.FileSize(dir / "empty"), 0);
}

TEST_F(PosixFileSystemTest, MissingFilesAndMissingFoldersHaveTheirOwnNumbers) {
  std::string noFile = dir / "none.txt";
  std::string noFolder = dir / "nofolder/none.txt";
  ComError e = ErrorOf([&] { fs.ReadFile(noFile); });
  EXPECT_EQ(e.Number(), errnum::kFileNotFound);
  EXPECT_EQ(e.Description(), "File not found: " + noFile);
  e = ErrorOf([&] { fs.WriteNewFile(noFolder, "x"); });
  EXPECT_EQ(e.Number(), errnum::kPathNotFound);
  EXPECT_EQ(e.Description(), "Path not found: " + noFolder);
  EXPECT_EQ(ErrorOf([&] { fs.FileSize(noFile); }).Number(), errnum::kFileNotFound);
  EXPECT_EQ(ErrorOf([&] { fs.ListFolder(dir / "nofolder"); }).Number(), errnum::kPathNotFound);
  EXPECT_EQ(ErrorOf([&] { fs.SyncFile(noFile); }).Number(), errnum::kFileNotFound);
  EXPECT_EQ(ErrorOf([&] { fs.SyncFolder(dir / "nofolder"); }).Number(), errnum::kPathNotFound);
  // A file where a folder is expected.
  WriteText(dir / "plain", "x");
  EXPECT_EQ(ErrorOf([&] { fs.WriteNewFile(dir / "plain/inner", "x"); }).Number(),
            errnum::kPathNotFound);
}

TEST_F(PosixFileSystemTest, MoveNoReplaceMovesOnlyIntoFreeNames) {
  std::string a = dir / "a", b = dir / "b", c = dir / "c";
  WriteText(a, "first");
  WriteText(b, "second");
  ComError e = ErrorOf([&] { fs.MoveNoReplace(a, b); });
  EXPECT_EQ(e.Number(), errnum::kFileAlreadyExists);
  EXPECT_NE(e.Description().find(b), std::string::npos);
  EXPECT_EQ(ReadText(a), "first");
  EXPECT_EQ(ReadText(b), "second");

  fs.MoveNoReplace(a, c);
  EXPECT_FALSE(fs.FileExists(a));
  EXPECT_EQ(ReadText(c), "first");

  e = ErrorOf([&] { fs.MoveNoReplace(a, dir / "d"); });
  EXPECT_EQ(e.Number(), errnum::kFileNotFound);
  EXPECT_EQ(e.Description(), "File not found: " + a);
  e = ErrorOf([&] { fs.MoveNoReplace(c, dir / "nofolder/d"); });
  EXPECT_EQ(e.Number(), errnum::kPathNotFound);
  EXPECT_TRUE(fs.FileExists(c));
}

TEST_F(PosixFileSystemTest, CopyFileHonoursOverwriteAndLeavesNoTemporaryFiles) {
  fs.CreateFolder(dir / "out");
  std::string src = dir / "src.txt", dst = dir / "out/dst.txt";
  WriteText(src, "content");
  fs.CopyFile(src, dst, false);
  EXPECT_EQ(ReadText(dst), "content");
  EXPECT_EQ(ReadText(src), "content");

  WriteText(src, "changed");
  ComError e = ErrorOf([&] { fs.CopyFile(src, dst, false); });
  EXPECT_EQ(e.Number(), errnum::kFileAlreadyExists);
  EXPECT_EQ(e.Description(), "File already exists: " + dst);
  EXPECT_EQ(ReadText(dst), "content");

  fs.CopyFile(src, dst, true);
  EXPECT_EQ(ReadText(dst), "changed");

  // A destination ending in "/" is a folder: the copy keeps its name.
  fs.CopyFile(src, dir / "out/", false);
  EXPECT_EQ(ReadText(dir / "out/src.txt"), "changed");

  EXPECT_EQ(fs.ListFolder(dir / "out"), (std::vector<std::string>{"dst.txt", "src.txt"}));
}

TEST_F(PosixFileSystemTest, CopyFileErrorsNameTheRightPath) {
  std::string src = dir / "src.txt";
  ComError e = ErrorOf([&] { fs.CopyFile(src, dir / "x", true); });
  EXPECT_EQ(e.Number(), errnum::kFileNotFound);
  EXPECT_EQ(e.Description(), "File not found: " + src);

  WriteText(src, "x");
  std::string into = dir / "nofolder/x";
  e = ErrorOf([&] { fs.CopyFile(src, into, true); });
  EXPECT_EQ(e.Number(), errnum::kPathNotFound);
  EXPECT_EQ(e.Description(), "Path not found: " + into);

  // Overwriting a read-only file is refused, as the runtime does.
  std::string ro = dir / "ro.txt";
  WriteText(ro, "keep");
  ::chmod(ro.c_str(), 0444);
  e = ErrorOf([&] { fs.CopyFile(src, ro, true); });
  EXPECT_EQ(e.Number(), errnum::kPermissionDenied);
  EXPECT_EQ(ReadText(ro), "keep");
  EXPECT_EQ(fs.ListFolder(dir.path()), (std::vector<std::string>{"ro.txt", "src.txt"}));
}

TEST_F(PosixFileSystemTest, DeleteFileRespectsReadOnlyUnlessForced) {
  std::string ro = dir / "ro.txt";
  WriteText(ro, "x");
  ::chmod(ro.c_str(), 0444);
  ComError e = ErrorOf([&] { fs.DeleteFile(ro, false); });
  EXPECT_EQ(e.Number(), errnum::kPermissionDenied);
  EXPECT_EQ(e.Description(), "Permission denied: " + ro);
  EXPECT_TRUE(fs.FileExists(ro));
  fs.DeleteFile(ro, true);
  EXPECT_FALSE(fs.FileExists(ro));

  WriteText(dir / "rw.txt", "x");
  fs.DeleteFile(dir / "rw.txt", false);
  EXPECT_FALSE(fs.FileExists(dir / "rw.txt"));

  EXPECT_EQ(ErrorOf([&] { fs.DeleteFile(ro, true); }).Number(), errnum::kFileNotFound);
  EXPECT_EQ(ErrorOf([&] { fs.DeleteFile(dir / "no/x", true); }).Number(), errnum::kPathNotFound);
  // A folder is not a file.
  fs.CreateFolder(dir / "sub");
  EXPECT_EQ(ErrorOf([&] { fs.DeleteFile(dir / "sub", true); }).Number(), errnum::kFileNotFound);
  EXPECT_TRUE(fs.FolderExists(dir / "sub"));
}

TEST_F(PosixFileSystemTest, FoldersAreCreatedOnceOrWithTheirParents) {
  fs.CreateFolder(dir / "one");
  EXPECT_TRUE(fs.FolderExists(dir / "one"));
  EXPECT_EQ(ErrorOf([&] { fs.CreateFolder(dir / "one"); }).Number(), errnum::kFileAlreadyExists);
  EXPECT_EQ(ErrorOf([&] { fs.CreateFolder(dir / "a/b"); }).Number(), errnum::kPathNotFound);

  fs.CreateFolders(dir / "a/b/c/");
  EXPECT_TRUE(fs.FolderExists(dir / "a/b/c"));
  fs.CreateFolders(dir / "a/b/c");  // already there: fine

  WriteText(dir / "file", "x");
  ComError e = ErrorOf([&] { fs.CreateFolders(dir / "file/sub"); });
  EXPECT_EQ(e.Number(), errnum::kFileAlreadyExists);
  EXPECT_EQ(e.Description(), "File already exists: " + (dir / "file"));
}

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
  WriteText(dir / "outside", "keep");
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
    WriteText(sub + "/x", "x");
    // The folder of a running process is never swept.
    SweepEndedWorkingFolders(dir.path());
    EXPECT_TRUE(Exists(path + "/copy.pdf"));
  }
  EXPECT_FALSE(Exists(path));
  EXPECT_EQ(ReadText(dir / "outside"), "keep");
  EXPECT_THROW(fs.GetSpecialFolder(platform::WindowsFolder), ComError);
  EXPECT_THROW(fs.GetSpecialFolder(99), ComError);
}

TEST_F(PosixFileSystemTest, SweepTakesOnlyFoldersThatEndedProcessesOfTheUserLeft) {
  ::mkdir((dir / "outside").c_str(), 0700);
  WriteText(dir / "outside/keep", "keep");
  auto folder = [&](const std::string& name, mode_t mode) {
    ::mkdir((dir / name).c_str(), mode);
    ::chmod((dir / name).c_str(), mode);
    return dir / name;
  };
  std::string ended = folder("stowbright-work-123-abcDEF", 0700);
  WriteText(ended + "/copy.pdf", "c");
  ::symlink((dir / "outside/keep").c_str(), (ended + "/link").c_str());
  ::symlink((dir / "outside").c_str(), (ended + "/folder-link").c_str());
  ::mkdir((ended + "/d-1").c_str(), 0700);
  WriteText(ended + "/d-1/f", "f");
  std::string shared = folder("stowbright-work-124-abcDEF", 0755);
  std::string otherName = folder("stowbright-work-125-abc", 0700);
  ::symlink((dir / "outside").c_str(), (dir / "stowbright-work-126-abcDEF").c_str());

  SweepEndedWorkingFolders(dir.path());
  EXPECT_FALSE(Exists(ended));
  EXPECT_TRUE(Exists(shared));
  EXPECT_TRUE(Exists(otherName));
  EXPECT_TRUE(Exists(dir / "stowbright-work-126-abcDEF"));
  EXPECT_EQ(ReadText(dir / "outside/keep"), "keep");
}

TEST_F(PosixFileSystemTest, OnlyWorkingFileNamesOfThisHostAndAnEndedProcessAreAbandoned) {
  std::string name = fs.NewWorkingFileName(dir.path(), false);
  ASSERT_EQ(name.rfind(".stowbright:", 0), 0u) << name;
  std::string host = name.substr(12, name.find(':', 12) - 12);
  pid_t ended = fork();
  if (ended == 0) _exit(0);
  waitpid(ended, nullptr, 0);
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

TEST_F(PosixFileSystemTest, TrashedFilesAreKeptAndFoundByWhereTheyWere) {
  std::string path = dir / "a b%\xC3\xA9.pdf";
  WriteText(path, "first");
  std::string stamp = fs.FileStamp(path);
  EXPECT_EQ(fs.FileStamp(path), stamp);
  fs.TrashFile(path);
  EXPECT_FALSE(Exists(path));
  WriteText(path, "second!");
  EXPECT_NE(fs.FileStamp(path), stamp);
  fs.TrashFile(dir.path() + "//./a b%\xC3\xA9.pdf");
  EXPECT_EQ(ReadText(fs.FindInTrash(path, 5)), "first");
  EXPECT_EQ(ReadText(fs.FindInTrash(path, 7)), "second!");
  EXPECT_FALSE(fs.FindInTrash(path).empty());
  EXPECT_EQ(fs.FindInTrash(path, 6), "");
  EXPECT_EQ(fs.FindInTrash(dir / "never.pdf"), "");
  EXPECT_EQ(ErrorOf([&] { fs.TrashFile(dir / "never.pdf"); }).Number(), errnum::kFileNotFound);
  EXPECT_EQ(ErrorOf([&] { fs.TrashFile(dir.path()); }).Number(), errnum::kFileNotFound);
  EXPECT_EQ(ErrorOf([&] { fs.FileStamp(dir / "never.pdf"); }).Number(), errnum::kFileNotFound);
}

TEST_F(PosixFileSystemTest, SyncAcceptsFilesAndFolders) {
  WriteText(dir / "f", "x");
  fs.SyncFile(dir / "f");
  fs.SyncFolder(dir.path());
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
  bool Mount(const char* options, unsigned long flags = 0) {
    if (::mount("tmpfs", mountPoint.c_str(), "tmpfs", flags, options) != 0) return false;
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

TEST_F(SmallVolumeTest, FullDiskIsReportedAndLeavesNothingBehind) {
  if (!Mount("size=64k")) GTEST_SKIP() << "cannot mount a tmpfs here";
  std::string big(512 * 1024, 'z');
  std::string path = mountPoint + "/big.bin";
  ComError e = ErrorOf([&] { fs.WriteNewFile(path, big); });
  EXPECT_EQ(e.Number(), errnum::kDiskFull);
  EXPECT_EQ(e.Description(), "Disk full: " + path);
  EXPECT_FALSE(fs.FileExists(path));

  std::string src = dir / "big.src";
  WriteText(src, big);
  e = ErrorOf([&] { fs.CopyFile(src, mountPoint + "/copy.bin", false); });
  EXPECT_EQ(e.Number(), errnum::kDiskFull);
  EXPECT_TRUE(fs.ListFolder(mountPoint).empty());
}

TEST_F(SmallVolumeTest, ReadOnlyVolumeRefusesWrites) {
  if (!Mount("size=64k", MS_RDONLY)) GTEST_SKIP() << "cannot mount a tmpfs here";
  std::string path = mountPoint + "/f";
  ComError e = ErrorOf([&] { fs.WriteNewFile(path, "x"); });
  EXPECT_EQ(e.Number(), errnum::kPermissionDenied);
  EXPECT_EQ(e.Description(), "Permission denied: " + path);
  EXPECT_EQ(ErrorOf([&] { fs.CreateFolder(mountPoint + "/d"); }).Number(),
            errnum::kPermissionDenied);
}

}  // namespace
}  // namespace stow::posix
