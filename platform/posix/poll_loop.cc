#include "platform/posix/poll_loop.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

namespace stow::posix {

bool PollLoop::WaitUntil(Clock::time_point next) {
  Clock::time_point wake = std::min(next, deadline_);
  int timeoutMs = -1;
  if (wake != Clock::time_point::max()) {
    auto wait = std::chrono::ceil<std::chrono::milliseconds>(wake - Clock::now()).count();
    timeoutMs = static_cast<int>(std::clamp<long long>(wait, 0, 24LL * 3600 * 1000));
  }
  PollOnly(timeoutMs);
  return true;
}

void PollLoop::Run() {
  Clock::time_point outer = std::exchange(deadline_, Clock::time_point::max());
  while (!TakeQuit()) {
    if (!Turn()) break;
  }
  deadline_ = outer;
}

bool PollLoop::RunFor(std::chrono::milliseconds limit) {
  Clock::time_point outer = std::exchange(deadline_, Clock::now() + limit);
  while (!QuitPending() && Clock::now() < deadline_) {
    if (!Turn()) break;
  }
  deadline_ = outer;
  return TakeQuit();
}

SignalWatch::SignalWatch(platform::MessageLoop& loop, const std::vector<int>& signals,
                         std::function<void(int)> onSignal)
    : loop_(loop), onSignal_(std::move(onSignal)) {
  sigemptyset(&oldMask_);
  sigset_t set;
  sigemptyset(&set);
  for (int s : signals) sigaddset(&set, s);
  int fd = ::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
  if (fd < 0) return;
  if (::pthread_sigmask(SIG_BLOCK, &set, &oldMask_) != 0) {
    ::close(fd);
    return;
  }
  fd_ = fd;
  loop_.WatchFd(fd_, [this] { Drain(true); });
}

void SignalWatch::Drain(bool deliver) {
  signalfd_siginfo info;
  for (;;) {
    ssize_t n = ::read(fd_, &info, sizeof info);
    if (n < 0 && errno == EINTR) continue;
    if (n != static_cast<ssize_t>(sizeof info)) return;
    if (deliver && onSignal_) onSignal_(static_cast<int>(info.ssi_signo));
  }
}

SignalWatch::~SignalWatch() {
  if (fd_ < 0) return;
  loop_.UnwatchFd(fd_);
  Drain(false);
  ::pthread_sigmask(SIG_SETMASK, &oldMask_, nullptr);
  ::close(fd_);
}

}  // namespace stow::posix
