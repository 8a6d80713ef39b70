#pragma once
// The file-system object ("Scripting.FileSystemObject"): existence tests, copy,
// delete, folders, the temporary folder, plus the few primitives the engine needs
// to never replace or half-write a file. Paths are the machine's own (UTF-8, "/");
// an empty path names nothing (53 or 76, as a missing one).
//
// Failures raise ComError (source "Scripting.FileSystemObject") with the runtime's
// numbers and a description "<text>: <path>" naming the path at fault ("Path not
// found: /x/y"):
//   53 file not found: no file at the path whose folder exists (a folder where a
//      file is expected counts as no file);
//   76 path not found: the folder that should hold the path does not exist, or a
//      part of it is a file;
//   58 file already exists: the call would have replaced something;
//   61 disk full (also a quota);  70 permission denied (also a read-only volume);
//   52 bad file name (too long, a loop of links), 57 device I/O error, 67 too many
//      files open, 74 not the same file system, 75 any other failure.
// A member that raises has changed nothing that a caller can see, unless it says
// otherwise. Members that do not raise say so.
//
// Implementations: posix::PosixFileSystem (the real one) and mem::FaultyFileSystem
// (it wraps another and fails on demand); both run
// tests/contract/file_system_contract.cc.

#include <cstdint>
#include <string>
#include <vector>

#include "platform/com_object.h"

namespace stow::platform {

enum SpecialFolder : int { WindowsFolder = 0, SystemFolder = 1, TemporaryFolder = 2 };

class FileSystemObject : public ComObject {
 public:
  // True when path names a regular file (a link to one counts; a folder does not).
  // Never raises.
  virtual bool FileExists(const std::string& path) = 0;
  // True when path names a folder. Never raises.
  virtual bool FolderExists(const std::string& path) = 0;
  // Copies the file source to destination; a destination ending in "/" names a
  // folder, and the copy keeps source's name in it. The copy is written next to the
  // destination under a working name, flushed, and only then moved into place, so
  // the destination is never seen half-written and nothing else is left behind,
  // also when it fails. Raises 53 (naming source) when source is not a file; 76
  // when the destination's folder is missing; 58 when the destination exists and
  // overwrite is false (checked again, atomically, as the copy is put in place);
  // 70 when overwrite is true but the destination may not be written (read-only)
  // or is a folder; 61 when the disk fills.
  virtual void CopyFile(const std::string& source, const std::string& destination,
                        bool overwrite) = 0;
  // Removes the file (a link itself, never what it points to). force: also a
  // read-only file; without it one raises 70 and stays. 53 when there is no file
  // (a folder is never removed: 53), 76 when its folder is missing.
  virtual void DeleteFile(const std::string& path, bool force) = 0;
  // Creates one folder. 58 when anything exists at path, 76 when its parent is
  // missing, 70 when the parent may not be written.
  virtual void CreateFolder(const std::string& path) = 0;
  // Creates the folder and every missing parent (a trailing "/" is ignored);
  // folders that exist are fine. 58, naming it, when a file stands where a folder
  // should be. On failure the parents made so far stay.
  virtual void CreateFolders(const std::string& path) = 0;
  // The path of a special folder. TemporaryFolder is this process's own working
  // folder: made fresh on first use (mode 0700, created exclusively, so nobody
  // else's file is ever in it), the same path for every later call, and removed
  // with what it holds when the process ends; working folders that ended processes
  // of this user left behind are removed too. Never a folder shared with other
  // users or processes. Raises 76 for a folder this system does not have
  // (WindowsFolder, SystemFolder), 5 for an unknown id, and the error of the
  // folder it could not make.
  virtual std::string GetSpecialFolder(int which) = 0;
  // The size in bytes of the file (a link is followed). 53 when there is no file
  // (a folder is none), 76 when its folder is missing.
  virtual std::int64_t FileSize(const std::string& path) = 0;
  // The names (not paths) of the folder's entries, files and folders alike,
  // without "." and "..", sorted bytewise. 76 when there is no folder at path.
  virtual std::vector<std::string> ListFolder(const std::string& path) = 0;

  // Writes bytes to a new file, flushed before this returns. Raises 58 and leaves
  // the existing file alone when anything exists at path; 76 when its folder is
  // missing; 61 or 70 when it cannot be written, and then no part of the file stays.
  virtual void WriteNewFile(const std::string& path, const std::string& bytes) = 0;
  // The file's bytes, all of them. 53 when there is no file, 76 when its folder
  // is missing, 70 for a folder or a file that may not be read.
  virtual std::string ReadFile(const std::string& path) = 0;
  // Moves source to destination only when nothing exists at destination. Atomic:
  // the destination is never seen half-written, and at no moment is the file at
  // neither name. Raises 58 (naming destination) when something is there, 53
  // (naming source) when source is missing, 76 when destination's folder is
  // missing; both are then as they were. Precondition: both are in the same file
  // system (else 74).
  virtual void MoveNoReplace(const std::string& source, const std::string& destination) = 0;
  // Flushes a file's data to the disk: once it returns, a crash keeps what was
  // written. 53 when there is no file, 76 when its folder is missing.
  virtual void SyncFile(const std::string& path) = 0;
  // SyncFile for several files at once, cheaper than one call each: the write-back
  // of all of them is started before waiting for any, so that a file system with a
  // journal commits them together. Every file is flushed, whatever happens to the
  // others, and each gets its own answer, in order: "" when a crash keeps what was
  // written to it, else why not (the text SyncFile would raise). A file that failed
  // must not be flushed again and then trusted: the system reports a write it lost
  // once only, and a second flush finds nothing left to write.
  virtual std::vector<std::string> SyncFiles(const std::vector<std::string>& paths) = 0;
  // Flushes a folder's entries (names made, moved or removed in it) to the disk; a
  // file system that cannot flush folders counts as success. 76 when path is not a
  // folder.
  virtual void SyncFolder(const std::string& path) = 0;

  // Makes a new folder inside parent that nobody else can enter (mode 0700) and that
  // did not exist before, under a name of its own choosing; returns its path.
  // Raises when no folder can be made there (53 or 76 when parent is missing, 70
  // when it may not be written).
  virtual std::string CreatePrivateFolder(const std::string& parent) = 0;
  // Makes linkPath a second name for the file at target (a symbolic link), so that
  // the file can be read under another name without copying it; raises 58 when
  // anything (even a dangling link) exists at linkPath (it is never replaced), 76
  // when its folder is missing. target is not checked. DeleteFile of linkPath
  // removes the link, never target.
  virtual void LinkFile(const std::string& target, const std::string& linkPath) = 0;
  // Makes newPath a second name of the same file as existing (a hard link: the
  // same bytes on disk, stored once; removing one name leaves the other). Raises 58
  // when anything exists at newPath (never replaced), 53 when existing is no
  // regular file, 74 across file systems, 70 where links are refused.
  virtual void HardLink(const std::string& existing, const std::string& newPath) = 0;
  // True when a and b are regular files holding the same bytes (compared in full,
  // block by block, never by a digest alone). Never raises: false when either
  // cannot be read.
  virtual bool SameContent(const std::string& a, const std::string& b) = 0;
  // A text that stays the same exactly as long as the file's content does (which
  // file it is, its size, and its modification and change times; a link is
  // followed); 53 when there is no file at path.
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
  // for abandoned, so a killed writer's leftover stays there. Never raises.
  virtual std::string NewWorkingFileName(const std::string& folder, bool portable) = 0;
  // True only when name (a file name; of a path, the last part) is a working file
  // name, not portable, given on this machine to a process that has ended. Never
  // raises.
  virtual bool IsAbandonedWorkingFile(const std::string& name) = 0;
  // Removes the abandoned working files of folder (ListFolder, IsAbandonedWorkingFile,
  // DeleteFile) and nothing else. Never raises: a folder that cannot be listed, or a
  // file that cannot be removed, is left as it is.
  void SweepAbandonedWorkingFiles(const std::string& folder);

  // Moves a file (not a folder; a link is trashed itself) into the user's trash,
  // the one file managers show, from which the user can restore it; it is never
  // deleted. Raises when it cannot be trashed (53 when there is no file or it is a
  // folder, 70 when the trash cannot take it); the file then stays where it is.
  virtual void TrashFile(const std::string& path) = 0;
  // Where the trash holds a file that was trashed from originalPath: the most
  // recently trashed one whose size is `size` (any size when size < 0); "" when no
  // trash of the user holds one. Never raises.
  virtual std::string FindInTrash(const std::string& originalPath, std::int64_t size = -1) = 0;
};

}  // namespace stow::platform
