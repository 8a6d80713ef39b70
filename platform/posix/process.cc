#include "platform/posix/process.h"

#include <fcntl.h>
#include <linux/close_range.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>

extern char** environ;

namespace stow::posix {

namespace {

std::vector<char*> ArgvOf(const std::vector<std::string>& argv) {
  std::vector<char*> out;
  out.reserve(argv.size() + 1);
  for (const auto& a : argv) out.push_back(const_cast<char*>(a.c_str()));
  out.push_back(nullptr);
  return out;
}

bool IsExecutableFile(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

void ReadFully(int fd, void* data, std::size_t size, ssize_t& got) {
  got = 0;
  auto* p = static_cast<char*>(data);
  while (static_cast<std::size_t>(got) < size) {
    ssize_t n = ::read(fd, p + got, size - static_cast<std::size_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    got += n;
  }
}

pid_t WaitRetry(pid_t pid, int* status) {
  pid_t r;
  do {
    r = ::waitpid(pid, status, 0);
  } while (r < 0 && errno == EINTR);
  return r;
}

// Exec in a child: restores what the parent may have changed about signals, so the
// program starts as if run from a shell.
[[noreturn]] void ExecChild(char* const* argv, int devNull, int reportFd) {
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  signal(SIGPIPE, SIG_DFL);
  if (devNull >= 0) ::dup2(devNull, STDIN_FILENO);
  // Descriptors the parent left inheritable (pipes, watched files) must not keep
  // living in a program that outlives us.
  (void)::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
  ::execve(argv[0], argv, environ);
  int err = errno;
  if (reportFd >= 0) (void)!::write(reportFd, &err, sizeof err);
  ::_exit(127);
}

}  // namespace

std::string FindProgram(const std::string& program) {
  if (program.empty()) return {};
  if (program.find('/') != std::string::npos) return IsExecutableFile(program) ? program : "";
  const char* path = std::getenv("PATH");
  std::string dirs = path && *path ? path : "/usr/local/bin:/usr/bin:/bin";
  std::size_t start = 0;
  for (;;) {
    std::size_t colon = dirs.find(':', start);
    std::string dir =
        dirs.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
    std::string candidate = (dir.empty() ? "." : dir) + "/" + program;
    if (IsExecutableFile(candidate)) return candidate;
    if (colon == std::string::npos) break;
    start = colon + 1;
  }
  return {};
}

int SpawnDetached(const std::vector<std::string>& argvIn) {
  std::optional<int> exitCode;
  return SpawnDetached(argvIn, std::chrono::milliseconds(0), exitCode);
}

int SpawnDetached(const std::vector<std::string>& argvIn, std::chrono::milliseconds settle,
                  std::optional<int>& exitCode) {
  exitCode.reset();
  if (argvIn.empty()) return EINVAL;
  std::vector<char*> argv = ArgvOf(argvIn);
  int devNull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  int report[2], ended[2];
  if (::pipe2(report, O_CLOEXEC) != 0) {
    int e = errno;
    if (devNull >= 0) ::close(devNull);
    return e;
  }
  if (::pipe2(ended, O_CLOEXEC) != 0) {
    int e = errno;
    for (int fd : {report[0], report[1], devNull})
      if (fd >= 0) ::close(fd);
    return e;
  }
  pid_t child = ::fork();
  if (child < 0) {
    int e = errno;
    for (int fd : {report[0], report[1], ended[0], ended[1], devNull})
      if (fd >= 0) ::close(fd);
    return e;
  }
  if (child == 0) {
    ::close(report[0]);
    ::close(ended[0]);
    ::setsid();
    pid_t grandchild = ::fork();
    if (grandchild < 0) {
      int err = errno;
      (void)!::write(report[1], &err, sizeof err);
      ::_exit(127);
    }
    if (grandchild == 0) ExecChild(argv.data(), devNull, report[1]);
    // The middle process watches the program for a moment: an opener that fails
    // does so at once. One still running then is left to init.
    ::close(report[1]);
    auto until = std::chrono::steady_clock::now() + settle;
    for (;;) {
      int status = 0;
      if (::waitpid(grandchild, &status, WNOHANG) == grandchild) {
        int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        (void)!::write(ended[1], &code, sizeof code);
        break;
      }
      if (std::chrono::steady_clock::now() >= until) break;
      ::usleep(10000);
    }
    ::_exit(0);
  }
  ::close(report[1]);
  ::close(ended[1]);
  if (devNull >= 0) ::close(devNull);
  // The write end closes on a successful exec (close-on-exec) or carries the errno.
  int err = 0;
  ssize_t got = 0;
  ReadFully(report[0], &err, sizeof err, got);
  ::close(report[0]);
  int code = 0;
  ssize_t gotCode = 0;
  ReadFully(ended[0], &code, sizeof code, gotCode);
  ::close(ended[0]);
  int status = 0;
  WaitRetry(child, &status);
  if (got == static_cast<ssize_t>(sizeof err)) return err != 0 ? err : ECHILD;
  if (gotCode == static_cast<ssize_t>(sizeof code)) exitCode = code;
  return 0;
}

std::optional<int> RunAndWait(const std::vector<std::string>& argvIn, int& error) {
  error = 0;
  if (argvIn.empty()) {
    error = EINVAL;
    return std::nullopt;
  }
  std::vector<char*> argv = ArgvOf(argvIn);
  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) {
    error = errno;
    return std::nullopt;
  }
  pid_t child = ::fork();
  if (child < 0) {
    error = errno;
    ::close(report[0]);
    ::close(report[1]);
    return std::nullopt;
  }
  if (child == 0) {
    ::close(report[0]);
    ExecChild(argv.data(), -1, report[1]);
  }
  ::close(report[1]);
  int err = 0;
  ssize_t got = 0;
  ReadFully(report[0], &err, sizeof err, got);
  ::close(report[0]);
  int status = 0;
  if (WaitRetry(child, &status) < 0) {
    error = errno;
    return std::nullopt;
  }
  if (got == static_cast<ssize_t>(sizeof err)) {
    error = err != 0 ? err : ECHILD;
    return std::nullopt;
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

}  // namespace stow::posix
