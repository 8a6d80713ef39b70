#pragma once
// Child processes of the tests: work run in a fork, its exit status, and the id of a
// process that has ended.

#include <sys/wait.h>
#include <unistd.h>

namespace stow::testing {

// Runs child in a forked process; its exit status is 0 only when child returned true.
template <class F>
pid_t Spawn(F child) {
  pid_t pid = fork();
  if (pid == 0) {
    bool ok = false;
    try {
      ok = child();
    } catch (...) {
    }
    _exit(ok ? 0 : 1);
  }
  return pid;
}

// The exit status of a child, 128 + the signal that ended it; -1 when it cannot be waited for.
inline int WaitExit(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// The id of a process that has ended and been reaped, so that no process has it now.
inline pid_t EndedPid() {
  pid_t pid = fork();
  if (pid == 0) _exit(0);
  waitpid(pid, nullptr, 0);
  return pid;
}

}  // namespace stow::testing
