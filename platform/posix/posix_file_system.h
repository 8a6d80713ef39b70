#pragma once
// The file-system object on a POSIX file system. What each member promises, and
// which errors it raises, is the contract's (platform/file_system.h); the comments
// here say only how this one keeps it.

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
  // The first one of a process removes the working folders ended processes left
  // (SweepEndedWorkingFolders under WorkingFolderBase()).
  PosixFileSystem();
  bool FileExists(const std::string& path) override;
  bool FolderExists(const std::string& path) override;
  // Copies into a hidden temporary file beside the destination (with source's mode
  // bits), then MoveNoReplace, or rename(2) when overwriting.
  void CopyFile(const std::string& source, const std::string& destination, bool overwrite) override;
  // Read-only: the owner's write bit is clear.
  void DeleteFile(const std::string& path, bool force) override;
  void CreateFolder(const std::string& path) override;
  void CreateFolders(const std::string& path) override;
  // TemporaryFolder: a WorkingFolder under WorkingFolderBase(), held by this object's
  // process for as long as it runs.
  std::string GetSpecialFolder(int which) override;
  std::int64_t FileSize(const std::string& path) override;
  std::vector<std::string> ListFolder(const std::string& path) override;
  // O_CREAT|O_EXCL, written in full and fsynced; a failed write unlinks the file.
  void WriteNewFile(const std::string& path, const std::string& bytes) override;
  std::string ReadFile(const std::string& path) override;
  // renameat2(RENAME_NOREPLACE), or link()+unlink() where the file system does
  // not support it.
  void MoveNoReplace(const std::string& source, const std::string& destination) override;
  // fsync(2); for a folder EINVAL and EROFS (it cannot be flushed) count as success.
  void SyncFile(const std::string& path) override;
  std::vector<std::string> SyncFiles(const std::vector<std::string>& paths) override;
  void SyncFolder(const std::string& path) override;
  // mkdtemp(parent/"d-XXXXXX").
  std::string CreatePrivateFolder(const std::string& parent) override;
  // symlink(2).
  void LinkFile(const std::string& target, const std::string& linkPath) override;
  void HardLink(const std::string& existing, const std::string& newPath) override;
  bool SameContent(const std::string& a, const std::string& b) override;
  // "dev:inode:size:mtime:ctime" of stat(2).
  std::string FileStamp(const std::string& path) override;
  // ".stowbright:<host>:<pid>:<number>.partial", the host name reduced to letters,
  // digits and "_"; portable: ".stowbright-partial-<pid>-<number>". Abandoned: of
  // this host, and kill(pid, 0) says no such process.
  std::string NewWorkingFileName(const std::string& folder, bool portable) override;
  bool IsAbandonedWorkingFile(const std::string& name) override;
  // g_file_trash: the home trash ($XDG_DATA_HOME/Trash) for a file on the home's
  // file system, $topdir/.Trash-$uid on others.
  void TrashFile(const std::string& path) override;
  // Reads the .trashinfo files of the home trash and of the trashes at the top of the
  // file system originalPath is on ($topdir/.Trash/$uid, $topdir/.Trash-$uid).
  std::string FindInTrash(const std::string& originalPath, std::int64_t size = -1) override;
};

}  // namespace stow::posix
