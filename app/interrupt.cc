#include "app/interrupt.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

namespace stow::app::interrupt {

namespace {

volatile sig_atomic_t requested = 0;
int wakePipe[2] = {-1, -1};
struct sigaction previous {};

void OnSigint(int) {
  int saved = errno;
  requested = 1;
  if (wakePipe[1] >= 0) {
    char byte = 1;
    [[maybe_unused]] auto n = ::write(wakePipe[1], &byte, 1);
  }
  errno = saved;
}

}  // namespace

Guard::Guard() {
  if (::pipe2(wakePipe, O_CLOEXEC | O_NONBLOCK) != 0) wakePipe[0] = wakePipe[1] = -1;
  struct sigaction action {};
  action.sa_handler = OnSigint;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  ::sigaction(SIGINT, &action, &previous);
}

Guard::~Guard() {
  ::sigaction(SIGINT, &previous, nullptr);
  for (int& fd : wakePipe) {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
}

bool Requested() {
  return requested != 0;
}

int WakeFd() {
  return wakePipe[0];
}

}  // namespace stow::app::interrupt
