#include "platform/posix/posix_file_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <gio/gio.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <random>

#include "platform/com_error.h"

namespace stow::posix {

namespace {

constexpr const char* kSource = "Scripting.FileSystemObject";

std::string BaseName(const std::string& raw) {
  std::string path = WithoutTrailingSlashes(raw);
  auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
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

// --- the working folder

constexpr const char* kWorkPrefix = "stowbright-work-";

// "stowbright-work-<pid>-XXXXXX", as mkdtemp names it and nothing else.
bool IsWorkingFolderName(const std::string& name) {
  std::size_t prefix = std::strlen(kWorkPrefix);
  if (name.compare(0, prefix, kWorkPrefix) != 0) return false;
  std::size_t dash = name.find('-', prefix);
  if (dash == std::string::npos || dash == prefix || dash - prefix > 10) return false;
  for (std::size_t i = prefix; i < dash; ++i)
    if (name[i] < '0' || name[i] > '9') return false;
  if (name.size() != dash + 7) return false;
  for (std::size_t i = dash + 1; i < name.size(); ++i)
    if (!std::isalnum(static_cast<unsigned char>(name[i]))) return false;
  return true;
}

// Opens a folder entry of dirfd without following a link, only when it is a folder
// of this user's that nobody else can enter; -1 otherwise.
int OpenOwnFolderAt(int dirfd, const char* name) {
  int fd = ::openat(dirfd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat st;
  if (::fstat(fd, &st) != 0 || st.st_uid != ::geteuid() || (st.st_mode & 077) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Removes the files and links of a folder, and the folders one level below with
// their files and links; nothing is followed.
void EmptyFolder(int dirfd, int depth) {
  int listFd = ::dup(dirfd);
  DIR* dir = listFd < 0 ? nullptr : ::fdopendir(listFd);
  if (!dir) {
    if (listFd >= 0) ::close(listFd);
    return;
  }
  std::vector<std::string> names;
  while (dirent* e = ::readdir(dir)) {
    if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
      names.push_back(e->d_name);
  }
  ::closedir(dir);
  for (const auto& name : names) {
    struct stat st;
    if (::fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (!S_ISDIR(st.st_mode)) {
      ::unlinkat(dirfd, name.c_str(), 0);
    } else if (depth == 0) {
      int sub = OpenOwnFolderAt(dirfd, name.c_str());
      if (sub < 0) continue;
      EmptyFolder(sub, depth + 1);
      ::close(sub);
      ::unlinkat(dirfd, name.c_str(), AT_REMOVEDIR);
    }
  }
}

}  // namespace

// $XDG_RUNTIME_DIR only when it is what the XDG rules promise.
std::string WorkingFolderBase() {
  const char* xdg = std::getenv("XDG_RUNTIME_DIR");
  struct stat st;
  if (xdg && xdg[0] == '/' && ::lstat(xdg, &st) == 0 && S_ISDIR(st.st_mode) &&
      st.st_uid == ::geteuid() && (st.st_mode & 077) == 0)
    return xdg;
  const char* tmp = std::getenv("TMPDIR");
  return tmp && *tmp ? tmp : "/tmp";
}

void SweepEndedWorkingFolders(const std::string& base) {
  int basefd = ::open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (basefd < 0) return;
  std::vector<std::string> names;
  if (DIR* dir = ::fdopendir(::dup(basefd))) {
    while (dirent* e = ::readdir(dir))
      if (IsWorkingFolderName(e->d_name)) names.push_back(e->d_name);
    ::closedir(dir);
  }
  for (const auto& name : names) {
    int fd = OpenOwnFolderAt(basefd, name.c_str());
    if (fd < 0) continue;
    // A live owner holds the lock from the moment its folder exists for it.
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
      EmptyFolder(fd, 0);
      ::unlinkat(basefd, name.c_str(), AT_REMOVEDIR);
    }
    ::close(fd);
  }
  ::close(basefd);
}

WorkingFolder::WorkingFolder(std::string base) : base_(std::move(base)) {}

WorkingFolder::~WorkingFolder() {
  // A child that inherited this object must not take its parent's folder away.
  if (fd_ < 0 || owner_ != ::getpid()) return;
  EmptyFolder(fd_, 0);
  ::rmdir(path_.c_str());
  ::close(fd_);
}

std::string WorkingFolder::Path() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (fd_ >= 0) return path_;
  std::string base = base_.empty() ? WorkingFolderBase() : base_;
  int err = 0;
  for (int attempt = 0; attempt < 10; ++attempt) {
    std::string tmpl =
        WithoutTrailingSlashes(base) + "/" + kWorkPrefix + std::to_string(::getpid()) + "-XXXXXX";
    std::vector<char> name(tmpl.begin(), tmpl.end());
    name.push_back('\0');
    if (!::mkdtemp(name.data())) {
      err = errno;
      break;
    }
    int fd = ::open(name.data(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    // Waits out a sweeper that found the folder before it was locked; if that one
    // removed it, another is made.
    if (fd >= 0 && ::flock(fd, LOCK_EX) == 0) {
      struct stat held, named;
      if (::fstat(fd, &held) == 0 && ::lstat(name.data(), &named) == 0 &&
          held.st_ino == named.st_ino && held.st_dev == named.st_dev) {
        fd_ = fd;
        owner_ = ::getpid();
        path_ = name.data();
        return path_;
      }
    }
    err = errno ? errno : EEXIST;
    if (fd >= 0) ::close(fd);
  }
  RaiseFileError(err ? err : EEXIST, base);
}

namespace {

WorkingFolder& Working() {
  static WorkingFolder folder;
  return folder;
}

// --- the trash

struct TrashEntry {
  std::string original;  // absolute path the file was trashed from
  std::string file;      // where it is now
  std::string date;      // DeletionDate, ISO 8601: compares as text
};

std::string Canonical(const std::string& path) {
  GFile* file = g_file_new_for_path(path.c_str());
  char* canonical = g_file_get_path(file);
  std::string out = canonical ? canonical : path;
  g_free(canonical);
  g_object_unref(file);
  return out;
}

// The entries of one trash folder (files/ and info/), read again only when info/
// changed since the last time.
const std::vector<TrashEntry>& TrashEntries(const std::string& trash, const std::string& topdir) {
  struct Cached {
    struct timespec mtime {};
    std::vector<TrashEntry> entries;
  };
  static std::mutex mutex;
  static std::map<std::string, Cached> cache;
  static const std::vector<TrashEntry> none;
  std::lock_guard<std::mutex> lock(mutex);
  std::string info = trash + "/info";
  struct stat st;
  if (::stat(info.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return none;
  Cached& c = cache[trash];
  if (c.mtime.tv_sec == st.st_mtim.tv_sec && c.mtime.tv_nsec == st.st_mtim.tv_nsec &&
      !c.entries.empty())
    return c.entries;
  c.mtime = st.st_mtim;
  c.entries.clear();
  DIR* dir = ::opendir(info.c_str());
  if (!dir) return c.entries;
  const std::string suffix = ".trashinfo";
  while (dirent* e = ::readdir(dir)) {
    std::string name = e->d_name;
    if (name.size() <= suffix.size() ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
      continue;
    GKeyFile* keys = g_key_file_new();
    if (g_key_file_load_from_file(keys, (info + "/" + name).c_str(), G_KEY_FILE_NONE, nullptr)) {
      char* path = g_key_file_get_value(keys, "Trash Info", "Path", nullptr);
      char* date = g_key_file_get_value(keys, "Trash Info", "DeletionDate", nullptr);
      char* unescaped = path ? g_uri_unescape_string(path, nullptr) : nullptr;
      // Paths in the home trash are absolute; in a trash at the top of a file system
      // they may be relative to that top.
      if (unescaped && *unescaped && (unescaped[0] == '/' || !topdir.empty())) {
        std::string original = unescaped;
        if (original[0] != '/') original = topdir + "/" + original;
        c.entries.push_back({Canonical(original),
                             trash + "/files/" + name.substr(0, name.size() - suffix.size()),
                             date ? date : ""});
      }
      g_free(unescaped);
      g_free(path);
      g_free(date);
    }
    g_key_file_free(keys);
  }
  ::closedir(dir);
  return c.entries;
}

// The top folder of the file system that holds path (or, when path is gone, its
// nearest folder that still exists).
std::string TopDirOf(const std::string& path) {
  std::string dir = ParentOf(path);
  struct stat st;
  while (::stat(dir.c_str(), &st) != 0 && dir != "/") dir = ParentOf(dir);
  while (dir != "/") {
    std::string up = ParentOf(dir);
    struct stat parent;
    if (::stat(up.c_str(), &parent) != 0 || parent.st_dev != st.st_dev) break;
    dir = up;
  }
  return dir;
}

}  // namespace

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

PosixFileSystem::PosixFileSystem() {
  static std::once_flag swept;
  std::call_once(swept, [] { SweepEndedWorkingFolders(WorkingFolderBase()); });
}

namespace {

// A working file is saved under a name holding ":", which the add-in's cleaning of
// file names always turns into "-", so no attachment is ever saved under such a
// name; it also carries its writer (host and process), so the working files of a
// writer killed before it moved them are known for litter by the next process that
// writes into the folder, and nothing else ever is. A file system that refuses ":"
// (FAT, SMB) gets the portable name, which is never taken for litter.
constexpr const char* kWorkingPrefix = ".stowbright:";
constexpr const char* kWorkingSuffix = ".partial";
constexpr const char* kPortableWorkingPrefix = ".stowbright-partial-";
// Names drawn before giving up on finding a free one.
constexpr int kWorkingNameAttempts = 50;

// This host's name reduced to letters, digits and "_".
const std::string& HostTag() {
  static const std::string tag = [] {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0) return std::string("localhost");
    std::string clean;
    for (const char* c = name; *c; ++c)
      clean += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
    return clean.empty() ? std::string("localhost") : clean;
  }();
  return tag;
}

// The process that wrote a working file of this host, 0 when name is not one.
long WorkingFileWriter(const std::string& name) {
  std::string prefix = kWorkingPrefix + HostTag() + ":";
  std::string suffix = kWorkingSuffix;
  if (name.size() <= prefix.size() + suffix.size() || name.rfind(prefix, 0) != 0 ||
      name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
    return 0;
  std::string middle = name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
  std::size_t colon = middle.find(':');
  if (colon == 0 || colon == std::string::npos || colon > 9) return 0;
  std::string pid = middle.substr(0, colon), random = middle.substr(colon + 1);
  if (random.empty() || pid.find_first_not_of("0123456789") != std::string::npos ||
      random.find_first_not_of("0123456789") != std::string::npos)
    return 0;
  return std::stol(pid);
}

// True when pid is not this process and no process with that id runs on this host.
bool ProcessGone(long pid) {
  return pid > 0 && pid != static_cast<long>(::getpid()) &&
         ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

}  // namespace

std::string PosixFileSystem::NewWorkingFileName(const std::string& folder, bool portable) {
  std::random_device random;
  std::uniform_int_distribution<long> draw(100000000, 999999999);
  std::string pid = std::to_string(::getpid()), name;
  for (int i = 0; i < kWorkingNameAttempts; ++i) {
    std::string number = std::to_string(draw(random));
    name = portable ? kPortableWorkingPrefix + pid + "-" + number
                    : kWorkingPrefix + HostTag() + ":" + pid + ":" + number + kWorkingSuffix;
    struct stat st;
    if (::lstat((WithoutTrailingSlashes(folder) + "/" + name).c_str(), &st) != 0) break;
  }
  return name;
}

bool PosixFileSystem::IsAbandonedWorkingFile(const std::string& name) {
  return ProcessGone(WorkingFileWriter(BaseName(name)));
}

std::string PosixFileSystem::GetSpecialFolder(int which) {
  if (which == platform::TemporaryFolder) return Working().Path();
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
  std::vector<std::string> names;
  int e = path.empty()
              ? ENOENT
              : ForEachEntry(path, [&](std::string_view name, ino_t) { names.emplace_back(name); });
  if (e) RaiseFileErrorNumber(e == ENOENT ? errnum::kPathNotFound : ErrorNumberFor(e, path), path);
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
  if (int e = RenameNoReplace(source, destination))
    RaiseFileError(e, Culprit(e, source, destination));
}

void PosixFileSystem::SyncFile(const std::string& path) {
  Fd fd(path.empty() ? -1 : OpenRetry(path.c_str(), O_RDONLY));
  if (fd.get() < 0) RaiseFileError(path.empty() ? ENOENT : errno, path);
  if (int e = FsyncRetry(fd.get())) RaiseFileError(e, path);
}

std::vector<std::string> PosixFileSystem::SyncFiles(const std::vector<std::string>& paths) {
  std::vector<std::string> failures(paths.size());
  auto fail = [&](std::size_t i, int err) {
    try {
      RaiseFileError(err, paths[i]);
    } catch (const ComError& e) {
      failures[i] = e.Description();
    }
  };
  // A mail of a thousand attachments must not run out of descriptors: a few dozen
  // at a time are already one journal commit.
  constexpr std::size_t kAtOnce = 64;
  for (std::size_t from = 0; from < paths.size(); from += kAtOnce) {
    std::size_t to = std::min(paths.size(), from + kAtOnce);
    std::deque<Fd> open;
    for (std::size_t i = from; i < to; ++i) {
      const std::string& path = paths[i];
      // Opened before its write-back starts: a write the disk then refuses is
      // reported to this descriptor's flush.
      Fd& fd = open.emplace_back(path.empty() ? -1 : OpenRetry(path.c_str(), O_RDONLY));
      if (fd.get() < 0) {
        fail(i, path.empty() ? ENOENT : errno);
        continue;
      }
      // Only starts the write-back (the blocks get their places on disk now), so
      // that the first fsync's journal commit carries every file and the later ones
      // find nothing left to write. Where it is missing the fsync does it all.
      (void)::sync_file_range(fd.get(), 0, 0, SYNC_FILE_RANGE_WRITE);
    }
    for (std::size_t i = from; i < to; ++i)
      if (open[i - from].get() >= 0)
        if (int e = FsyncRetry(open[i - from].get())) fail(i, e);
  }
  return failures;
}

void PosixFileSystem::SyncFolder(const std::string& path) {
  int e = path.empty() ? ENOENT : FlushFolder(path);
  if (e == ENOENT) RaiseFileErrorNumber(errnum::kPathNotFound, path);
  if (e) RaiseFileError(e, path);
}

std::string PosixFileSystem::CreatePrivateFolder(const std::string& parent) {
  std::string tmpl = WithoutTrailingSlashes(parent) + "/d-XXXXXX";
  std::vector<char> name(tmpl.begin(), tmpl.end());
  name.push_back('\0');
  if (parent.empty() || !::mkdtemp(name.data())) RaiseFileError(errno ? errno : ENOENT, parent);
  return name.data();
}

void PosixFileSystem::LinkFile(const std::string& target, const std::string& linkPath) {
  if (target.empty()) RaiseFileErrorNumber(errnum::kFileNotFound, target);
  if (linkPath.empty() || ::symlink(target.c_str(), linkPath.c_str()) != 0)
    RaiseFileError(linkPath.empty() ? ENOENT : errno, linkPath);
}

void PosixFileSystem::HardLink(const std::string& existing, const std::string& newPath) {
  struct stat st;
  if (existing.empty() || ::lstat(existing.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
    RaiseFileErrorNumber(errnum::kFileNotFound, existing);
  if (newPath.empty() || ::link(existing.c_str(), newPath.c_str()) != 0)
    RaiseFileError(newPath.empty() ? ENOENT : errno, newPath);
}

bool PosixFileSystem::SameContent(const std::string& a, const std::string& b) {
  Fd fa(a.empty() ? -1 : OpenRetry(a.c_str(), O_RDONLY | O_NOFOLLOW));
  Fd fb(b.empty() ? -1 : OpenRetry(b.c_str(), O_RDONLY | O_NOFOLLOW));
  struct stat sa, sb;
  if (fa.get() < 0 || fb.get() < 0 || ::fstat(fa.get(), &sa) != 0 || ::fstat(fb.get(), &sb) != 0 ||
      !S_ISREG(sa.st_mode) || !S_ISREG(sb.st_mode) || sa.st_size != sb.st_size)
    return false;
  if (sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino) return true;
  // Whole blocks of each, however the reads split them.
  constexpr std::size_t kBlock = 1 << 16;
  std::vector<char> x(kBlock), y(kBlock);
  auto fill = [](int fd, char* buf, std::size_t want) -> std::size_t {
    std::size_t got = 0;
    while (got < want) {
      ssize_t n = ::read(fd, buf + got, want - got);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      got += static_cast<std::size_t>(n);
    }
    return got;
  };
  for (;;) {
    std::size_t n = fill(fa.get(), x.data(), kBlock);
    if (fill(fb.get(), y.data(), kBlock) != n || std::memcmp(x.data(), y.data(), n) != 0)
      return false;
    if (n < kBlock) return true;
  }
}

std::string PosixFileSystem::FileStamp(const std::string& path) {
  struct stat st;
  if (path.empty() || ::stat(path.c_str(), &st) != 0)
    RaiseFileError(path.empty() ? ENOENT : errno, path);
  if (!S_ISREG(st.st_mode)) RaiseFileErrorNumber(errnum::kFileNotFound, path);
  char text[160];
  std::snprintf(text, sizeof text, "%llu:%llu:%lld:%lld.%09ld:%lld.%09ld",
                static_cast<unsigned long long>(st.st_dev),
                static_cast<unsigned long long>(st.st_ino), static_cast<long long>(st.st_size),
                static_cast<long long>(st.st_mtim.tv_sec), st.st_mtim.tv_nsec,
                static_cast<long long>(st.st_ctim.tv_sec), st.st_ctim.tv_nsec);
  return text;
}

void PosixFileSystem::TrashFile(const std::string& path) {
  struct stat st;
  if (path.empty() || ::lstat(path.c_str(), &st) != 0)
    RaiseFileError(path.empty() ? ENOENT : errno, path);
  if (S_ISDIR(st.st_mode)) RaiseFileErrorNumber(errnum::kFileNotFound, path);
  GFile* file = g_file_new_for_path(path.c_str());
  GError* error = nullptr;
  gboolean trashed = g_file_trash(file, nullptr, &error);
  g_object_unref(file);
  if (trashed) return;
  std::string why = error ? error->message : "unknown error";
  std::int32_t number = errnum::kPermissionDenied;
  if (error && error->domain == G_IO_ERROR) {
    if (error->code == G_IO_ERROR_NOT_FOUND) number = errnum::kFileNotFound;
    if (error->code == G_IO_ERROR_NO_SPACE) number = errnum::kDiskFull;
  }
  if (error) g_error_free(error);
  throw ComError(number, kSource, "Cannot move " + path + " to the trash: " + why);
}

std::string PosixFileSystem::FindInTrash(const std::string& originalPath, std::int64_t size) {
  if (originalPath.empty() || originalPath[0] != '/') return "";
  std::string wanted = Canonical(originalPath);
  std::string uid = std::to_string(::geteuid());
  std::string topdir = TopDirOf(wanted);
  std::string top = topdir == "/" ? "" : topdir;
  std::vector<std::pair<std::string, std::string>> trashes = {
      {std::string(g_get_user_data_dir()) + "/Trash", ""}, {top + "/.Trash-" + uid, topdir}};
  // The shared $topdir/.Trash counts only as the rules allow: a real folder with the
  // sticky bit, so that nobody can put files into another user's part of it.
  struct stat shared;
  std::string sharedTrash = top + "/.Trash";
  if (::lstat(sharedTrash.c_str(), &shared) == 0 && S_ISDIR(shared.st_mode) &&
      (shared.st_mode & S_ISVTX))
    trashes.push_back({sharedTrash + "/" + uid, topdir});
  const TrashEntry* best = nullptr;
  std::vector<TrashEntry> found;
  for (const auto& [trash, root] : trashes) {
    for (const TrashEntry& e : TrashEntries(trash, root)) {
      if (e.original != wanted) continue;
      struct stat st;
      if (::lstat(e.file.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
      if (size >= 0 && st.st_size != size) continue;
      found.push_back(e);
    }
  }
  for (const TrashEntry& e : found)
    if (!best || e.date >= best->date) best = &e;
  return best ? best->file : "";
}

}  // namespace stow::posix
