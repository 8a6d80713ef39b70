#include "platform/posix/posix_util.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/com_error.h"

namespace stow::posix {

std::int32_t ErrorNumberFor(int err, const std::string& path) {
  switch (err) {
    case ENOENT:
      return IsFolder(ParentOf(path)) ? errnum::kFileNotFound : errnum::kPathNotFound;
    case ENOTDIR:
      return errnum::kPathNotFound;
    case EEXIST:
    case ENOTEMPTY:
      return errnum::kFileAlreadyExists;
    case ENOSPC:
    case EDQUOT:
      return errnum::kDiskFull;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
    case EBUSY:
    case ETXTBSY:
      return errnum::kPermissionDenied;
    case ENAMETOOLONG:
    case ELOOP:
      return kBadFileName;
    case EXDEV:
      return kDifferentDrive;
    case EMFILE:
    case ENFILE:
      return kTooManyFiles;
    case EIO:
      return kDeviceIoError;
    default:
      return kPathFileAccessError;
  }
}

std::string WithoutTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

std::string ParentOf(const std::string& raw) {
  std::string path = WithoutTrailingSlashes(raw);
  auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

bool IsFolder(const std::string& path) {
  struct stat st;
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

int RenameNoReplace(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  int err = errno;
  if (err != EINVAL && err != ENOSYS && err != ENOTSUP) return err;
  // The destination is complete the moment the link appears.
  if (::link(from.c_str(), to.c_str()) != 0) return errno;
  if (::unlink(from.c_str()) != 0) {
    err = errno;
    ::unlink(to.c_str());
    return err;
  }
  return 0;
}

int FlushFolder(const std::string& dir) {
  int fd;
  do {
    fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return errno;
  int err = 0;
  while (::fsync(fd) != 0) {
    if (errno == EINTR) continue;
    if (errno != EINVAL && errno != EROFS) err = errno;
    break;
  }
  ::close(fd);
  return err;
}

int ForEachEntry(const std::string& dir,
                 const std::function<void(std::string_view name, ino_t ino)>& each) {
  DIR* d = ::opendir(dir.c_str());
  if (!d) return errno;
  errno = 0;
  while (dirent* e = ::readdir(d)) {
    const char* n = e->d_name;
    if (!(n[0] == '.' && (n[1] == '\0' || (n[1] == '.' && n[2] == '\0')))) each(n, e->d_ino);
    errno = 0;
  }
  int err = errno;
  ::closedir(d);
  return err;
}

bool ProcessEnded(long pid) {
  if (pid <= 0 || pid == static_cast<long>(::getpid())) return false;
  return ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

}  // namespace stow::posix
