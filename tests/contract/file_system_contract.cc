// The file system contract (platform/file_system.h), one suite run on the real
// POSIX file system and on the failing-on-demand one with no failure asked for (so
// that what it passes through keeps the contract).

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <memory>
#include <string>
#include <vector>

#include "common/checks.h"
#include "common/scratch_home.h"
#include "common/temp_dir.h"
#include "platform/com_error.h"
#include "platform/memory/faulty_file_system.h"
#include "platform/posix/posix_file_system.h"

namespace stow::platform {
namespace {

// Files these tests trash go to a trash of their own.
const std::string& scratchHome = stow::testing::UseScratchHome();

using namespace stow::testing;

std::shared_ptr<FileSystemObject> Posix() {
  return std::make_shared<posix::PosixFileSystem>();
}
std::shared_ptr<FileSystemObject> Faulty() {
  return std::make_shared<mem::FaultyFileSystem>(Posix());
}

class FileSystemContract
    : public ::testing::TestWithParam<std::shared_ptr<FileSystemObject> (*)()> {
 protected:
  TempDir dir;
  std::shared_ptr<FileSystemObject> made = GetParam()();
  FileSystemObject& fs = *made;
};

TEST_P(FileSystemContract, ExistenceAndFlushesTellFilesFromFolders) {
  WriteAll(dir / "a.txt", "x");
  EXPECT_TRUE(fs.FileExists(dir / "a.txt"));
  EXPECT_FALSE(fs.FolderExists(dir / "a.txt"));
  EXPECT_TRUE(fs.FolderExists(dir.path()));
  EXPECT_FALSE(fs.FileExists(dir.path()));
  EXPECT_FALSE(fs.FileExists(dir / "missing"));
  EXPECT_FALSE(fs.FileExists(""));
  EXPECT_FALSE(fs.FolderExists(""));
  // Flushes tell files from folders too.
  EXPECT_NO_THROW(fs.SyncFile(dir / "a.txt"));
  EXPECT_NO_THROW(fs.SyncFolder(dir.path()));
  EXPECT_EQ(ErrorOf([&] { fs.SyncFolder(dir / "a.txt"); }).Number(), errnum::kPathNotFound);
  EXPECT_EQ(ReadAll(dir / "a.txt"), "x");
}

TEST_P(FileSystemContract, WriteNewFileWritesAndNeverReplaces) {
  std::string path = dir / "new.bin";
  std::string bytes("a\0b\xff", 4);
  fs.WriteNewFile(path, bytes);
  EXPECT_EQ(ReadAll(path), bytes);
  EXPECT_EQ(fs.ReadFile(path), bytes);
  EXPECT_EQ(fs.FileSize(path), 4);

  ComError e = ErrorOf([&] { fs.WriteNewFile(path, "other"); });
  EXPECT_EQ(e.Number(), errnum::kFileAlreadyExists);
  EXPECT_EQ(e.Description(), "File already exists: " + path);
  EXPECT_EQ(ReadAll(path), bytes);

  fs.WriteNewFile(dir / "empty", "");
  EXPECT_TRUE(fs.FileExists(dir / "empty"));
  EXPECT_EQ(fs.FileSize(dir / "empty"), 0);
}

TEST_P(FileSystemContract, MissingFilesAndFoldersHaveTheirOwnNumbersAndCopiesNameTheRightPath) {
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
  WriteAll(dir / "plain", "x");
  EXPECT_EQ(ErrorOf([&] { fs.WriteNewFile(dir / "plain/inner", "x"); }).Number(),
            errnum::kPathNotFound);
  // Copies name the right path.
  std::string src = dir / "src.txt";
  e = ErrorOf([&] { fs.CopyFile(src, dir / "x", true); });
  EXPECT_EQ(e.Number(), errnum::kFileNotFound);
  EXPECT_EQ(e.Description(), "File not found: " + src);

  WriteAll(src, "x");
  std::string into = dir / "nofolder/x";
  e = ErrorOf([&] { fs.CopyFile(src, into, true); });
  EXPECT_EQ(e.Number(), errnum::kPathNotFound);
  EXPECT_EQ(e.Description(), "Path not found: " + into);

  // Overwriting a read-only file is refused, as the runtime does.
  std::string ro = dir / "ro.txt";
  WriteAll(ro, "keep");
  ::chmod(ro.c_str(), 0444);
  e = ErrorOf([&] { fs.CopyFile(src, ro, true); });
  EXPECT_EQ(e.Number(), errnum::kPermissionDenied);
  EXPECT_EQ(ReadAll(ro), "keep");
  EXPECT_EQ(fs.ListFolder(dir.path()), (std::vector<std::string>{"plain", "ro.txt", "src.txt"}));
}

TEST_P(FileSystemContract, MoveNoReplaceMovesOnlyIntoFreeNames) {
  std::string a = dir / "a", b = dir / "b", c = dir / "c";
  WriteAll(a, "first");
  WriteAll(b, "second");
  ComError e = ErrorOf([&] { fs.MoveNoReplace(a, b); });
  EXPECT_EQ(e.Number(), errnum::kFileAlreadyExists);
  EXPECT_NE(e.Description().find(b), std::string::npos);
  EXPECT_EQ(ReadAll(a), "first");
  EXPECT_EQ(ReadAll(b), "second");

  fs.MoveNoReplace(a, c);
  EXPECT_FALSE(fs.FileExists(a));
  EXPECT_EQ(ReadAll(c), "first");

  e = ErrorOf([&] { fs.MoveNoReplace(a, dir / "d"); });
  EXPECT_EQ(e.Number(), errnum::kFileNotFound);
  EXPECT_EQ(e.Description(), "File not found: " + a);
  e = ErrorOf([&] { fs.MoveNoReplace(c, dir / "nofolder/d"); });
  EXPECT_EQ(e.Number(), errnum::kPathNotFound);
  EXPECT_TRUE(fs.FileExists(c));
}

TEST_P(FileSystemContract, CopyFileHonoursOverwriteAndLeavesNoTemporaryFiles) {
  fs.CreateFolder(dir / "out");
  std::string src = dir / "src.txt", dst = dir / "out/dst.txt";
  WriteAll(src, "content");
  fs.CopyFile(src, dst, false);
  EXPECT_EQ(ReadAll(dst), "content");
  EXPECT_EQ(ReadAll(src), "content");

  WriteAll(src, "changed");
  ComError e = ErrorOf([&] { fs.CopyFile(src, dst, false); });
  EXPECT_EQ(e.Number(), errnum::kFileAlreadyExists);
  EXPECT_EQ(e.Description(), "File already exists: " + dst);
  EXPECT_EQ(ReadAll(dst), "content");

  fs.CopyFile(src, dst, true);
  EXPECT_EQ(ReadAll(dst), "changed");

  // A destination ending in "/" is a folder: the copy keeps its name.
  fs.CopyFile(src, dir / "out/", false);
  EXPECT_EQ(ReadAll(dir / "out/src.txt"), "changed");

  EXPECT_EQ(fs.ListFolder(dir / "out"), (std::vector<std::string>{"dst.txt", "src.txt"}));
}

TEST_P(FileSystemContract, DeleteFileRespectsReadOnlyUnlessForced) {
  std::string ro = dir / "ro.txt";
  WriteAll(ro, "x");
  ::chmod(ro.c_str(), 0444);
  ComError e = ErrorOf([&] { fs.DeleteFile(ro, false); });
  EXPECT_EQ(e.Number(), errnum::kPermissionDenied);
  EXPECT_EQ(e.Description(), "Permission denied: " + ro);
  EXPECT_TRUE(fs.FileExists(ro));
  fs.DeleteFile(ro, true);
  EXPECT_FALSE(fs.FileExists(ro));

  WriteAll(dir / "rw.txt", "x");
  fs.DeleteFile(dir / "rw.txt", false);
  EXPECT_FALSE(fs.FileExists(dir / "rw.txt"));

  EXPECT_EQ(ErrorOf([&] { fs.DeleteFile(ro, true); }).Number(), errnum::kFileNotFound);
  EXPECT_EQ(ErrorOf([&] { fs.DeleteFile(dir / "no/x", true); }).Number(), errnum::kPathNotFound);
  // A folder is not a file.
  fs.CreateFolder(dir / "sub");
  EXPECT_EQ(ErrorOf([&] { fs.DeleteFile(dir / "sub", true); }).Number(), errnum::kFileNotFound);
  EXPECT_TRUE(fs.FolderExists(dir / "sub"));
}

TEST_P(FileSystemContract, FoldersAreCreatedOnceOrWithTheirParents) {
  fs.CreateFolder(dir / "one");
  EXPECT_TRUE(fs.FolderExists(dir / "one"));
  EXPECT_EQ(ErrorOf([&] { fs.CreateFolder(dir / "one"); }).Number(), errnum::kFileAlreadyExists);
  EXPECT_EQ(ErrorOf([&] { fs.CreateFolder(dir / "a/b"); }).Number(), errnum::kPathNotFound);

  fs.CreateFolders(dir / "a/b/c/");
  EXPECT_TRUE(fs.FolderExists(dir / "a/b/c"));
  fs.CreateFolders(dir / "a/b/c");  // already there: fine

  WriteAll(dir / "file", "x");
  ComError e = ErrorOf([&] { fs.CreateFolders(dir / "file/sub"); });
  EXPECT_EQ(e.Number(), errnum::kFileAlreadyExists);
  EXPECT_EQ(e.Description(), "File already exists: " + (dir / "file"));
}

TEST_P(FileSystemContract, TrashedFilesAreKeptAndFoundByWhereTheyWere) {
  std::string path = dir / "a b%\xC3\xA9.pdf";
  WriteAll(path, "first");
  std::string stamp = fs.FileStamp(path);
  EXPECT_EQ(fs.FileStamp(path), stamp);
  fs.TrashFile(path);
  EXPECT_FALSE(fs.FileExists(path));
  WriteAll(path, "second!");
  EXPECT_NE(fs.FileStamp(path), stamp);
  fs.TrashFile(dir.path() + "//./a b%\xC3\xA9.pdf");
  EXPECT_EQ(ReadAll(fs.FindInTrash(path, 5)), "first");
  EXPECT_EQ(ReadAll(fs.FindInTrash(path, 7)), "second!");
  EXPECT_FALSE(fs.FindInTrash(path).empty());
  EXPECT_EQ(fs.FindInTrash(path, 6), "");
  EXPECT_EQ(fs.FindInTrash(dir / "never.pdf"), "");
  EXPECT_EQ(ErrorOf([&] { fs.TrashFile(dir / "never.pdf"); }).Number(), errnum::kFileNotFound);
  EXPECT_EQ(ErrorOf([&] { fs.TrashFile(dir.path()); }).Number(), errnum::kFileNotFound);
  EXPECT_EQ(ErrorOf([&] { fs.FileStamp(dir / "never.pdf"); }).Number(), errnum::kFileNotFound);
}

INSTANTIATE_TEST_SUITE_P(Implementations, FileSystemContract, ::testing::Values(Posix, Faulty),
                         [](const auto& info) { return info.index ? "Faulty" : "Posix"; });

}  // namespace
}  // namespace stow::platform
