#pragma once
// The file-system object ("Scripting.FileSystemObject"): existence tests, copy,
// delete, folders, the temporary folder, plus the few primitives the engine needs
// to never replace or half-write a file. Paths are the machine's own (UTF-8, "/").
// Failures raise ComError with the runtime's numbers (53 file not found,
// 58 file already exists, 61 disk full, 70 permission denied, 76 path not found)
// and a description that names the path.

#include <cstdint>
#include <string>
#include <vector>

#include "platform/com_object.h"

namespace stow::platform {

enum SpecialFolder : int { WindowsFolder = 0, SystemFolder = 1, TemporaryFolder = 2 };

class FileSystemObject : public ComObject {
 public:
  virtual bool FileExists(const std::string& path) = 0;
  virtual bool FolderExists(const std::string& path) = 0;
  // Copies a file; with overwrite false an existing destination raises 58.
  // The destination is written under a temporary name and renamed into place.
  virtual void CopyFile(const std::string& source, const std::string& destination,
                        bool overwrite) = 0;
  // force: also read-only files.
  virtual void DeleteFile(const std::string& path, bool force) = 0;
  // Creates one folder; its parent must exist.
  virtual void CreateFolder(const std::string& path) = 0;
  // Creates the folder and every missing parent.
  virtual void CreateFolders(const std::string& path) = 0;
  // The path of a special folder; raises when there is none. TemporaryFolder is
  // this process's own working folder: made fresh on first use (mode 0700, created
  // exclusively, so nobody else's file is ever in it) and removed with what it holds
  // when the process ends; working folders that ended processes of this user left
  // behind are removed too. Never a folder shared with other users or processes.
  virtual std::string GetSpecialFolder(int which) = 0;
  virtual std::int64_t FileSize(const std::string& path) = 0;
  virtual std::vector<std::string> ListFolder(const std::string& path) = 0;

  // Writes bytes to a new file; raises 58 and leaves the existing file alone
  // when the path exists. The file is flushed before this returns.
  virtual void WriteNewFile(const std::string& path, const std::string& bytes) = 0;
  virtual std::string ReadFile(const std::string& path) = 0;
  // Moves source to destination only when nothing exists at destination (raises 58
  // otherwise, leaving both as they were). Atomic: the destination is never seen
  // half-written. Both must be in the same file system.
  virtual void MoveNoReplace(const std::string& source, const std::string& destination) = 0;
  // Flushes a file's data, or a folder's entries, to the disk.
  virtual void SyncFile(const std::string& path) = 0;
  virtual void SyncFolder(const std::string& path) = 0;

  // Makes a new folder inside parent that nobody else can enter (mode 0700) and that
  // did not exist before, under a name of its own choosing; returns its path.
  virtual std::string CreatePrivateFolder(const std::string& parent) = 0;
  // Makes linkPath a second name for the file at target (a symbolic link), so that
  // the file can be read under another name without copying it; raises 58 when
  // anything exists at linkPath (it is never replaced). DeleteFile of linkPath
  // removes the link, never target.
  virtual void LinkFile(const std::string& target, const std::string& linkPath) = 0;
  // A text that stays the same exactly as long as the file's content does (which
  // file it is, its size, and its modification and change times); 53 when there is
  // no file at path.
  virtual std::string FileStamp(const std::string& path) = 0;

  // Working files. A file that others will find by its name is written under a
  // working name in the folder it goes to, flushed, and only then moved to its own
  // name (MoveNoReplace), so that no name ever shows half a file.
  //
  // A name (not a path) for a new working file in folder, free when it is returned;
  // nothing is created. It begins with "." and marks the file as this process's on
  // this machine, so that once this process has ended IsAbandonedWorkingFile tells
  // it from every other file. No name that the cleaning of file names gives (which
  // turns ":" into "-") is ever a working file name. portable: a name of characters
  // every file system takes, for a folder that refused the other; it is never taken
  // for abandoned, so a killed writer's leftover stays there.
  virtual std::string NewWorkingFileName(const std::string& folder, bool portable) = 0;
  // True only when name (a file name; of a path, the last part) is a working file
  // name, not portable, given on this machine to a process that has ended. Never
  // raises.
  virtual bool IsAbandonedWorkingFile(const std::string& name) = 0;
  // Removes the abandoned working files of folder (ListFolder, IsAbandonedWorkingFile,
  // DeleteFile) and nothing else. Never raises: a folder that cannot be listed, or a
  // file that cannot be removed, is left as it is.
  void SweepAbandonedWorkingFiles(const std::string& folder);

  // Moves a file (not a folder) into the user's trash, the one file managers show,
  // from which the user can restore it; it is never deleted. Raises when it cannot
  // be trashed (53 when there is no file, 70 when the trash cannot take it); the
  // file then stays where it is.
  virtual void TrashFile(const std::string& path) = 0;
  // Where the trash holds a file that was trashed from originalPath: the most
  // recently trashed one whose size is `size` (any size when size < 0); "" when no
  // trash of the user holds one.
  virtual std::string FindInTrash(const std::string& originalPath, std::int64_t size = -1) = 0;
};

}  // namespace stow::platform
