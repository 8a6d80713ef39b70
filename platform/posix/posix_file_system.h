#pragma once
// The file-system object on a POSIX file system. Every operation that writes a
// file that other code will rely on flushes it (fsync) before it reports success,
// and nothing ever replaces an existing file unless the caller asked for it.

#include <sys/types.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "platform/file_system.h"
#include "platform/posix/posix_util.h"

namespace stow::posix {

// The runtime's text for a number, followed by ": " and the path
// ("Path not found: /x/y"); unknown numbers give "Path/File access error".
std::string ErrorDescription(std::int32_t number, const std::string& path);
// Raises the ComError for errno `err` on `path` (source "Scripting.FileSystemObject").
[[noreturn]] void RaiseFileError(int err, const std::string& path);
[[noreturn]] void RaiseFileErrorNumber(std::int32_t number, const std::string& path);

// Where working folders are made: $XDG_RUNTIME_DIR when it is a real folder of
// this user's that nobody else can enter, else $TMPDIR, else /tmp.
std::string WorkingFolderBase();

// A process's working folder "stowbright-work-<pid>-XXXXXX" under base (""
// WorkingFolderBase()), made by mkdtemp on the first Path() and locked (flock) from
// then on; it goes, with what it holds, when this object does.
class WorkingFolder {
 public:
  explicit WorkingFolder(std::string base = "");
  ~WorkingFolder();
  WorkingFolder(const WorkingFolder&) = delete;
  WorkingFolder& operator=(const WorkingFolder&) = delete;
  // Raises (with base's name) when no folder can be made there.
  std::string Path();

 private:
  std::string base_;
  std::mutex mutex_;
  int fd_ = -1;
  pid_t owner_ = 0;
  std::string path_;
};

// Removes the working folders under base whose process ended: named as a working
// folder, a real folder (not a link) of this user's, mode 0700, and not locked.
// What is removed: the files and links in it, and the folders one level below with
// their files and links; nothing is followed.
void SweepEndedWorkingFolders(const std::string& base);

class PosixFileSystem : public platform::FileSystemObject {
 public:
  // The first one of a process removes the working folders ended processes left.
  PosixFileSystem();
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
  // TemporaryFolder: the process's working folder "stowbright-work-<pid>-XXXXXX",
  // made by mkdtemp under $XDG_RUNTIME_DIR when that is a folder of this user's
  // that only it can enter, else under $TMPDIR (or /tmp). The process holds a lock
  // on it while it runs; a folder so named, of this user, mode 0700, not a link and
  // not locked is the leftover of an ended process, and the first file-system
  // object of each process removes those (with the files, links and folders one
  // level deep in them; nothing is followed). There is no Windows or system folder
  // here: 76.
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
  // mkdtemp(parent/"d-XXXXXX").
  std::string CreatePrivateFolder(const std::string& parent) override;
  // symlink(2): 58 when linkPath exists (even as a dangling link).
  void LinkFile(const std::string& target, const std::string& linkPath) override;
  // "dev:inode:size:mtime:ctime" of the file path names (a link is followed).
  std::string FileStamp(const std::string& path) override;
  // ".stowbright:<host>:<pid>:<number>.partial", the host name reduced to letters,
  // digits and "_"; portable: ".stowbright-partial-<pid>-<number>". Abandoned: of
  // this host, and kill(pid, 0) says no such process.
  std::string NewWorkingFileName(const std::string& folder, bool portable) override;
  bool IsAbandonedWorkingFile(const std::string& name) override;
  // g_file_trash: the home trash ($XDG_DATA_HOME/Trash) for a file on the home's
  // file system, $topdir/.Trash-$uid on others. A folder raises 53; a symbolic link
  // is trashed itself, not what it points to.
  void TrashFile(const std::string& path) override;
  // Reads the .trashinfo files of the home trash and of the trashes at the top of the
  // file system originalPath is on ($topdir/.Trash/$uid, $topdir/.Trash-$uid).
  std::string FindInTrash(const std::string& originalPath, std::int64_t size = -1) override;
};

}  // namespace stow::posix
