#pragma once
// The POSIX helpers every implementation on this platform shares: what an errno
// means as the runtime's error number, a rename that never replaces, a folder
// flush that says whether it worked, one way to list a folder, and whether a
// process has ended. Each reports failure as an errno (0 for success) and leaves
// raising to the caller, which knows what it was doing.

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace stow::posix {

// Numbers of the runtime that errnum does not name.
inline constexpr std::int32_t kBadFileName = 52;
inline constexpr std::int32_t kDeviceIoError = 57;
inline constexpr std::int32_t kTooManyFiles = 67;
inline constexpr std::int32_t kDifferentDrive = 74;
inline constexpr std::int32_t kPathFileAccessError = 75;

// The runtime's error number for a failed system call (errno `err`) on `path`:
//   ENOENT                              53 (file not found) when the folder holding
//                                       path exists, else 76 (path not found)
//   ENOTDIR                             76
//   EEXIST, ENOTEMPTY                   58 (file already exists)
//   ENOSPC, EDQUOT                      61 (disk full)
//   EACCES, EPERM, EROFS, EISDIR,
//   EBUSY, ETXTBSY                      70 (permission denied)
//   ENAMETOOLONG, ELOOP                 52 (bad file name)
//   EXDEV                               74 (rename with a different drive)
//   EMFILE, ENFILE                      67 (too many files)
//   EIO                                 57 (device I/O error)
//   anything else                       75 (path/file access error)
std::int32_t ErrorNumberFor(int err, const std::string& path);

// path without its trailing slashes ("/" stays "/").
std::string WithoutTrailingSlashes(std::string path);
// The folder holding path: "." for a bare name, "/" for a name at the top.
std::string ParentOf(const std::string& path);
// path names a folder (a link to one counts).
bool IsFolder(const std::string& path);

// rename(2) that never replaces: renameat2(RENAME_NOREPLACE), and where the file
// system cannot do that, link(2) (which never replaces either) then unlink(2) of
// from. Either way a file at `to` is never touched, with no window between a check
// and the rename. 0, or the errno: EEXIST when `to` exists. When the unlink of the
// fallback fails, the new link is taken back and that errno returned.
int RenameNoReplace(const std::string& from, const std::string& to);

// fsync(2) of a folder, so that the names made or removed in it survive a crash.
// 0 also where the file system cannot flush a folder (EINVAL, EROFS: its entries
// are then as safe as they get); otherwise the errno of open or fsync.
int FlushFolder(const std::string& dir);

// Calls each(name, inode) for every entry of dir but "." and "..", in the order the
// file system gives them (name is valid during the call only, and NUL-terminated). 0,
// or the errno that kept dir from being read.
int ForEachEntry(const std::string& dir,
                 const std::function<void(std::string_view name, ino_t ino)>& each);

// Process pid has ended (no such process). False for this process, for a pid that
// is not positive, and when it cannot be told (a process of another user).
bool ProcessEnded(long pid);

}  // namespace stow::posix
