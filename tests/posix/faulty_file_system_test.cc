#include "platform/memory/faulty_file_system.h"

#include <gtest/gtest.h>

#include <memory>

#include "common/temp_dir.h"
#include "platform/com_error.h"
#include "platform/posix/posix_file_system.h"

namespace stow::mem {
namespace {

using stow::testing::ReadAll;
using stow::testing::TempDir;
using stow::testing::WriteAll;

class FaultyFileSystemTest : public ::testing::Test {
 protected:
  TempDir dir;
  FaultyFileSystem fs{std::make_shared<posix::PosixFileSystem>()};
};

TEST_F(FaultyFileSystemTest, FailsTheChosenCallOnlyAndTouchesNothing) {
  std::string path = dir / "a.txt";
  fs.Fail(FsOp::WriteNewFile, path, errnum::kDiskFull, 1);
  try {
    fs.WriteNewFile(path, "x");
    FAIL() << "no error";
  } catch (const ComError& e) {
    EXPECT_EQ(e.Number(), errnum::kDiskFull);
    EXPECT_EQ(e.Description(), "Disk full: " + path);
  }
  EXPECT_FALSE(fs.FileExists(path));
  // Once only: the next write goes through.
  fs.WriteNewFile(path, "x");
  EXPECT_EQ(ReadAll(path), "x");
  // Other paths and other operations were never affected.
  fs.WriteNewFile(dir / "b.txt", "y");

  auto writes = fs.CallsOf(FsOp::WriteNewFile);
  ASSERT_EQ(writes.size(), 3u);
  EXPECT_TRUE(writes[0].failed);
  EXPECT_FALSE(writes[1].failed);
  EXPECT_EQ(writes[2].path, dir / "b.txt");
  EXPECT_EQ(fs.CallCount(FsOp::FileExists), 1);
}

TEST_F(FaultyFileSystemTest, AlwaysNTimesAndByPrefix) {
  WriteAll(dir / "keep.txt", "k");
  fs.Fail(FsOp::DeleteFile, dir / "keep.txt", errnum::kPermissionDenied);
  for (int i = 0; i < 3; ++i) EXPECT_THROW(fs.DeleteFile(dir / "keep.txt", true), ComError);
  EXPECT_TRUE(fs.FileExists(dir / "keep.txt"));

  fs.FailUnder(FsOp::Any, dir / "locked/", errnum::kPermissionDenied, 2);
  EXPECT_THROW(fs.CreateFolders(dir / "locked/a"), ComError);
  EXPECT_THROW(fs.FolderExists(dir / "locked/a"), ComError);
  fs.CreateFolders(dir / "locked/a");  // the two failures are used up
  EXPECT_TRUE(fs.FolderExists(dir / "locked/a"));

  fs.ClearFailures();
  fs.DeleteFile(dir / "keep.txt", true);
  EXPECT_FALSE(fs.FileExists(dir / "keep.txt"));
}

TEST_F(FaultyFileSystemTest, CopyAndMoveMatchEitherPathAndKeepTheirOwnDescription) {
  WriteAll(dir / "src", "s");
  fs.Fail(FsOp::CopyFile, dir / "dst", errnum::kDiskFull, -1, "custom text");
  try {
    fs.CopyFile(dir / "src", dir / "dst", false);
    FAIL() << "no error";
  } catch (const ComError& e) {
    EXPECT_EQ(e.Number(), errnum::kDiskFull);
    EXPECT_EQ(e.Description(), "custom text");
  }
  EXPECT_FALSE(fs.FileExists(dir / "dst"));
  fs.FailAll(FsOp::MoveNoReplace, errnum::kPermissionDenied, 1);
  EXPECT_THROW(fs.MoveNoReplace(dir / "src", dir / "moved"), ComError);
  fs.MoveNoReplace(dir / "src", dir / "moved");
  EXPECT_EQ(ReadAll(dir / "moved"), "s");
  auto copies = fs.CallsOf(FsOp::CopyFile);
  ASSERT_EQ(copies.size(), 1u);
  EXPECT_EQ(copies[0].path2, dir / "dst");
}

}  // namespace
}  // namespace stow::mem
