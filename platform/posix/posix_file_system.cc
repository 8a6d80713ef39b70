#include "platform/posix/posix_file_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "platform/com_error.h"

namespace stow::posix {

namespace {

constexpr const char* kSource = "Scripting.FileSystemObject";

// Numbers of the runtime that errnum does not name.
constexpr std::int32_t kBadFileName = 52;
constexpr std::int32_t kDeviceIoError = 57;
constexpr std::int32_t kTooManyFiles = 67;
constexpr std::int32_t kDifferentDrive = 74;
constexpr std::int32_t kPathFileAccessError = 75;

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

std::string BaseName(const std::string& raw) {
  std::string path = WithoutTrailingSlashes(raw);
  auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool IsFolder(const std::string& path) {
  struct stat st;
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Closes a descriptor on every path out of a function.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() { Reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  // Closes now and reports the error close() gave (0 when none).
  int Close() {
    int err = 0;
    if (fd_ >= 0 && ::close(fd_) != 0) err = errno;
    fd_ = -1;
    return err;
  }
  void Reset() { (void)Close(); }

 private:
  int fd_;
};

int OpenRetry(const char* path, int flags, mode_t mode = 0) {
  int fd;
  do {
    fd = ::open(path, flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// 0 or the errno of the failed write.
int WriteAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return EIO;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return 0;
}

int FsyncRetry(int fd) {
  while (::fsync(fd) != 0) {
    if (errno != EINTR) return errno;
  }
  return 0;
}

// Creates a new hidden file beside `destination` for writing; its name goes to tempPath.
int CreateTempBeside(const std::string& destination, std::string& tempPath, int& err) {
  static std::atomic<unsigned> counter{0};
  std::string folder = ParentOf(destination);
  std::string base = BaseName(destination);
  auto seed =
      static_cast<unsigned long long>(std::chrono::steady_clock::now().time_since_epoch().count());
  for (int attempt = 0; attempt < 100; ++attempt) {
    char suffix[40];
    std::snprintf(suffix, sizeof suffix, ".stow-%d-%08llx.tmp", static_cast<int>(::getpid()),
                  (seed + counter.fetch_add(1) * 7919ULL) & 0xffffffffULL);
    tempPath = (folder == "/" ? "" : folder) + "/." + base + suffix;
    int fd = OpenRetry(tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    if (fd >= 0) return fd;
    if (errno != EEXIST) {
      err = errno;
      return -1;
    }
  }
  err = EEXIST;
  return -1;
}

// Where a failed rename/link left off: the source when it is gone, else the destination.
const std::string& Culprit(int err, const std::string& source, const std::string& destination) {
  if (err == ENOENT || err == ENOTDIR) {
    struct stat st;
    if (::lstat(source.c_str(), &st) != 0) return source;
  }
  return destination;
}

}  // namespace

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

std::string ErrorDescription(std::int32_t number, const std::string& path) {
  const char* text = "Path/File access error";
  switch (number) {
    case errnum::kFileNotFound:
      text = "File not found";
      break;
    case errnum::kPathNotFound:
      text = "Path not found";
      break;
    case errnum::kFileAlreadyExists:
      text = "File already exists";
      break;
    case errnum::kDiskFull:
      text = "Disk full";
      break;
    case errnum::kPermissionDenied:
      text = "Permission denied";
      break;
    case errnum::kInvalidProcedureCall:
      text = "Invalid procedure call or argument";
      break;
    case kBadFileName:
      text = "Bad file name or number";
      break;
    case kDeviceIoError:
      text = "Device I/O error";
      break;
    case kTooManyFiles:
      text = "Too many files";
      break;
    case kDifferentDrive:
      text = "Can't rename with different drive";
      break;
    default:
      break;
  }
  return std::string(text) + ": " + path;
}

void RaiseFileErrorNumber(std::int32_t number, const std::string& path) {
  throw ComError(number, kSource, ErrorDescription(number, path));
}

void RaiseFileError(int err, const std::string& path) {
  RaiseFileErrorNumber(ErrorNumberFor(err, path), path);
}

bool PosixFileSystem::FileExists(const std::string& path) {
  struct stat st;
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool PosixFileSystem::FolderExists(const std::string& path) {
  return IsFolder(path);
}

void PosixFileSystem::CopyFile(const std::string& source, const std::string& destinationIn,
                               bool overwrite) {
  std::string destination = destinationIn;
  if (!destination.empty() && destination.back() == '/') destination += BaseName(source);

  Fd in(OpenRetry(source.c_str(), O_RDONLY));
  if (in.get() < 0) RaiseFileError(errno, source);
  struct stat st;
  if (::fstat(in.get(), &st) != 0) RaiseFileError(errno, source);
  if (!S_ISREG(st.st_mode)) RaiseFileErrorNumber(errnum::kFileNotFound, source);

  struct stat dst;
  if (::stat(destination.c_str(), &dst) == 0) {
    if (S_ISDIR(dst.st_mode)) RaiseFileErrorNumber(errnum::kPermissionDenied, destination);
    if (!overwrite) RaiseFileErrorNumber(errnum::kFileAlreadyExists, destination);
    if (!(dst.st_mode & S_IWUSR)) RaiseFileErrorNumber(errnum::kPermissionDenied, destination);
  }

  std::string temp;
  int err = 0;
  Fd out(CreateTempBeside(destination, temp, err));
  if (out.get() < 0) RaiseFileError(err, destination);
  auto fail = [&](int e) {
    out.Reset();
    ::unlink(temp.c_str());
    RaiseFileError(e, destination);
  };

  std::unique_ptr<char[]> buffer(new char[1 << 16]);
  for (;;) {
    ssize_t n = ::read(in.get(), buffer.get(), 1 << 16);
    if (n < 0) {
      if (errno == EINTR) continue;
      int e = errno;
      out.Reset();
      ::unlink(temp.c_str());
      RaiseFileError(e, source);
    }
    if (n == 0) break;
    if (int e = WriteAll(out.get(), buffer.get(), static_cast<std::size_t>(n))) fail(e);
  }
  (void)::fchmod(out.get(), st.st_mode & 07777);
  if (int e = FsyncRetry(out.get())) fail(e);
  if (int e = out.Close()) fail(e);

  if (overwrite) {
    if (::rename(temp.c_str(), destination.c_str()) != 0) {
      int e = errno;
      ::unlink(temp.c_str());
      RaiseFileError(e, destination);
    }
  } else {
    try {
      MoveNoReplace(temp, destination);
    } catch (...) {
      ::unlink(temp.c_str());
      throw;
    }
  }
  (void)IgnoreErrors([&] { SyncFolder(ParentOf(destination)); });
}

void PosixFileSystem::DeleteFile(const std::string& path, bool force) {
  struct stat st;
  if (path.empty() || ::lstat(path.c_str(), &st) != 0)
    RaiseFileError(path.empty() ? ENOENT : errno, path);
  if (S_ISDIR(st.st_mode)) RaiseFileErrorNumber(errnum::kFileNotFound, path);
  if (!force && S_ISREG(st.st_mode) && !(st.st_mode & S_IWUSR))
    RaiseFileErrorNumber(errnum::kPermissionDenied, path);
  if (::unlink(path.c_str()) != 0) RaiseFileError(errno, path);
}

void PosixFileSystem::CreateFolder(const std::string& path) {
  if (path.empty()) RaiseFileErrorNumber(errnum::kPathNotFound, path);
  if (::mkdir(path.c_str(), 0777) != 0) RaiseFileError(errno, path);
}

void PosixFileSystem::CreateFolders(const std::string& raw) {
  std::string path = WithoutTrailingSlashes(raw);
  if (path.empty()) RaiseFileErrorNumber(errnum::kPathNotFound, raw);
  std::size_t pos = path[0] == '/' ? 1 : 0;
  for (;;) {
    std::size_t slash = path.find('/', pos);
    std::string prefix = path.substr(0, slash);
    if (!prefix.empty() && prefix != "/" && prefix.back() != '/') {
      if (::mkdir(prefix.c_str(), 0777) != 0) {
        int e = errno;
        if (e != EEXIST) RaiseFileError(e, prefix);
        if (!IsFolder(prefix)) RaiseFileErrorNumber(errnum::kFileAlreadyExists, prefix);
      }
    }
    if (slash == std::string::npos) break;
    pos = slash + 1;
  }
}

std::string PosixFileSystem::GetSpecialFolder(int which) {
  if (which == platform::TemporaryFolder) {
    const char* tmp = std::getenv("TMPDIR");
    return tmp && *tmp ? std::string(tmp) : std::string("/tmp");
  }
  if (which == platform::WindowsFolder || which == platform::SystemFolder)
    RaiseFileErrorNumber(errnum::kPathNotFound, "special folder " + std::to_string(which));
  RaiseFileErrorNumber(errnum::kInvalidProcedureCall, "special folder " + std::to_string(which));
}

std::int64_t PosixFileSystem::FileSize(const std::string& path) {
  struct stat st;
  if (path.empty() || ::stat(path.c_str(), &st) != 0)
    RaiseFileError(path.empty() ? ENOENT : errno, path);
  if (S_ISDIR(st.st_mode)) RaiseFileErrorNumber(errnum::kFileNotFound, path);
  return static_cast<std::int64_t>(st.st_size);
}

std::vector<std::string> PosixFileSystem::ListFolder(const std::string& path) {
  DIR* dir = path.empty() ? nullptr : ::opendir(path.c_str());
  if (!dir) {
    int e = path.empty() ? ENOENT : errno;
    RaiseFileErrorNumber(e == ENOENT ? errnum::kPathNotFound : ErrorNumberFor(e, path), path);
  }
  std::vector<std::string> names;
  while (dirent* entry = ::readdir(dir)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(std::move(name));
  }
  ::closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

void PosixFileSystem::WriteNewFile(const std::string& path, const std::string& bytes) {
  if (path.empty()) RaiseFileErrorNumber(errnum::kPathNotFound, path);
  Fd fd(OpenRetry(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666));
  if (fd.get() < 0) RaiseFileError(errno, path);
  // From here the file is ours: on any failure it goes, so no half-written file stays.
  auto fail = [&](int e) {
    fd.Reset();
    ::unlink(path.c_str());
    RaiseFileError(e, path);
  };
  if (int e = WriteAll(fd.get(), bytes.data(), bytes.size())) fail(e);
  if (int e = FsyncRetry(fd.get())) fail(e);
  if (int e = fd.Close()) fail(e);
}

std::string PosixFileSystem::ReadFile(const std::string& path) {
  Fd fd(path.empty() ? -1 : OpenRetry(path.c_str(), O_RDONLY));
  if (fd.get() < 0) RaiseFileError(path.empty() ? ENOENT : errno, path);
  struct stat st;
  if (::fstat(fd.get(), &st) == 0 && S_ISDIR(st.st_mode))
    RaiseFileErrorNumber(errnum::kPermissionDenied, path);
  std::string bytes;
  char buffer[1 << 15];
  for (;;) {
    ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      RaiseFileError(errno, path);
    }
    if (n == 0) break;
    bytes.append(buffer, static_cast<std::size_t>(n));
  }
  return bytes;
}

void PosixFileSystem::MoveNoReplace(const std::string& source, const std::string& destination) {
  if (source.empty()) RaiseFileErrorNumber(errnum::kFileNotFound, source);
  if (destination.empty()) RaiseFileErrorNumber(errnum::kPathNotFound, destination);
  if (::renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, destination.c_str(), RENAME_NOREPLACE) == 0)
    return;
  int e = errno;
  if (e != EINVAL && e != ENOSYS && e != ENOTSUP)
    RaiseFileError(e, Culprit(e, source, destination));
  // The file system cannot rename without replacing: a hard link can never replace
  // anything, and the destination is complete the moment it appears.
  if (::link(source.c_str(), destination.c_str()) != 0) {
    e = errno;
    RaiseFileError(e, Culprit(e, source, destination));
  }
  if (::unlink(source.c_str()) != 0) {
    e = errno;
    ::unlink(destination.c_str());
    RaiseFileError(e, source);
  }
}

void PosixFileSystem::SyncFile(const std::string& path) {
  Fd fd(path.empty() ? -1 : OpenRetry(path.c_str(), O_RDONLY));
  if (fd.get() < 0) RaiseFileError(path.empty() ? ENOENT : errno, path);
  if (int e = FsyncRetry(fd.get())) RaiseFileError(e, path);
}

void PosixFileSystem::SyncFolder(const std::string& path) {
  Fd fd(path.empty() ? -1 : OpenRetry(path.c_str(), O_RDONLY | O_DIRECTORY));
  if (fd.get() < 0) {
    int e = path.empty() ? ENOENT : errno;
    RaiseFileErrorNumber(e == ENOENT ? errnum::kPathNotFound : ErrorNumberFor(e, path), path);
  }
  // Some file systems cannot flush a directory; its entries are then as safe as they get.
  int e = FsyncRetry(fd.get());
  if (e != 0 && e != EINVAL && e != EROFS) RaiseFileError(e, path);
}

}  // namespace stow::posix
