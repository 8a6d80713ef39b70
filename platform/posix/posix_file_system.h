#pragma once
// The file-system object on a POSIX file system. Every operation that writes a
// file that other code will rely on flushes it (fsync) before it reports success,
// and nothing ever replaces an existing file unless the caller asked for it.

#include <cstdint>
#include <string>
#include <vector>

#include "platform/file_system.h"

namespace stow::posix {

// The runtime's error number for a failed system call (errno) on `path`:
// ENOENT gives 53 when the folder holding path exists and 76 otherwise, ENOTDIR 76,
// EEXIST 58, ENOSPC/EDQUOT 61, EACCES/EPERM/EROFS 70, anything else 75.
std::int32_t ErrorNumberFor(int err, const std::string& path);
// The runtime's text for a number, followed by ": " and the path
// ("Path not found: /x/y"); unknown numbers give "Path/File access error".
std::string ErrorDescription(std::int32_t number, const std::string& path);
// Raises the ComError for errno `err` on `path` (source "Scripting.FileSystemObject").
[[noreturn]] void RaiseFileError(int err, const std::string& path);
[[noreturn]] void RaiseFileErrorNumber(std::int32_t number, const std::string& path);

class PosixFileSystem : public platform::FileSystemObject {
 public:
  // A regular file (a folder is not a file).
  bool FileExists(const std::string& path) override;
  bool FolderExists(const std::string& path) override;
  // destination ending in "/" names a folder: the file keeps its name there.
  // The copy is written next to the destination under a hidden temporary name,
  // flushed, and only then renamed into place, so the destination is never seen
  // half-written. overwrite false: 58 when the destination exists (checked before
  // copying and again atomically when the copy is put in place). overwrite true on
  // a destination without write permission: 70. Source missing: 53.
  void CopyFile(const std::string& source, const std::string& destination, bool overwrite) override;
  // Without force a file without write permission raises 70; a missing file 53.
  void DeleteFile(const std::string& path, bool force) override;
  // 58 when something exists at path, 76 when the parent is missing.
  void CreateFolder(const std::string& path) override;
  // Existing folders are fine; a file in the way raises 58.
  void CreateFolders(const std::string& path) override;
  // TemporaryFolder: $TMPDIR, or /tmp when unset or empty. There is no Windows or
  // system folder here: 76.
  std::string GetSpecialFolder(int which) override;
  std::int64_t FileSize(const std::string& path) override;
  // Names (not paths) of the entries, sorted; 76 when the folder is missing.
  std::vector<std::string> ListFolder(const std::string& path) override;
  // O_CREAT|O_EXCL, written in full and fsynced. A failed write removes the
  // partial file and raises (61 when the disk is full).
  void WriteNewFile(const std::string& path, const std::string& bytes) override;
  std::string ReadFile(const std::string& path) override;
  // renameat2(RENAME_NOREPLACE), or link()+unlink() where the file system does
  // not support it. 58 when the destination exists; both files are left alone.
  void MoveNoReplace(const std::string& source, const std::string& destination) override;
  void SyncFile(const std::string& path) override;
  void SyncFolder(const std::string& path) override;
};

}  // namespace stow::posix
