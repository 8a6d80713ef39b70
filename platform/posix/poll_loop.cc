#include "platform/posix/poll_loop.h"

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <utility>

namespace stow::posix {

void PollLoop::Post(Task task) {
  if (task) posted_.push_back(std::move(task));
}

void PollLoop::RunPosted() {
  // Only what was there when the turn began: work that posts more work must not
  // keep one turn going for ever.
  std::size_t n = posted_.size();
  for (std::size_t i = 0; i < n && !posted_.empty(); ++i) {
    Task task = std::move(posted_.front());
    posted_.pop_front();
    task();
  }
}

void PollLoop::RunDueTimers() {
  Clock::time_point now = Clock::now();
  std::vector<std::pair<Clock::time_point, platform::TimerId>> due;
  for (const auto& [id, t] : timers_)
    if (t.due <= now) due.emplace_back(t.due, id);
  std::sort(due.begin(), due.end());
  for (const auto& [when, id] : due) {
    auto it = timers_.find(id);
    // Killed, or already ticked by a nested turn, since the list was made.
    if (it == timers_.end() || it->second.due > now) continue;
    TimerEntry& t = it->second;
    if (*t.running) continue;
    t.due += t.interval;
    if (t.due <= now) t.due = now + t.interval;  // fell behind: no burst of catch-up ticks
    std::shared_ptr<Task> tick = t.tick;
    std::shared_ptr<bool> running = t.running;
    *running = true;
    struct Reset {
      bool& flag;
      ~Reset() { flag = false; }
    } reset{*running};
    (*tick)();
  }
}

bool PollLoop::Turn(bool block, std::optional<Clock::time_point> deadline) {
  RunPosted();
  if (block && quit_) return true;

  int timeoutMs = 0;
  if (block && posted_.empty()) {
    // A timer whose tick is running (and yielding to us) cannot fire now.
    bool anyTimer = false;
    std::optional<Clock::time_point> wake = deadline;
    for (const auto& [id, t] : timers_) {
      if (*t.running) continue;
      anyTimer = true;
      if (!wake || t.due < *wake) wake = t.due;
    }
    if (!anyTimer && watches_.empty()) return false;
    if (wake) {
      auto wait = std::chrono::ceil<std::chrono::milliseconds>(*wake - Clock::now()).count();
      timeoutMs = static_cast<int>(std::clamp<long long>(wait, 0, 24LL * 3600 * 1000));
    } else {
      timeoutMs = -1;
    }
  }

  if (!watches_.empty() || timeoutMs != 0) {
    std::vector<pollfd> fds;
    std::vector<std::uint64_t> generations;
    for (const auto& [fd, w] : watches_) {
      fds.push_back(pollfd{fd, POLLIN, 0});
      generations.push_back(w.generation);
    }
    int ready = ::poll(fds.data(), fds.size(), timeoutMs);
    if (ready > 0) {
      for (std::size_t i = 0; i < fds.size(); ++i) {
        if (fds[i].revents == 0) continue;
        auto it = watches_.find(fds[i].fd);
        if (it == watches_.end() || it->second.generation != generations[i]) continue;
        if (fds[i].revents & POLLNVAL) {
          watches_.erase(it);
          continue;
        }
        std::shared_ptr<Task> onReadable = it->second.onReadable;
        (*onReadable)();
      }
    }
  }
  RunDueTimers();
  return true;
}

void PollLoop::DoEvents() {
  Turn(false, std::nullopt);
}

void PollLoop::Run() {
  while (!quit_) {
    if (!Turn(true, std::nullopt)) break;
  }
  quit_ = false;
}

bool PollLoop::RunFor(std::chrono::milliseconds limit) {
  Clock::time_point deadline = Clock::now() + limit;
  while (!quit_ && Clock::now() < deadline) {
    if (!Turn(true, deadline)) break;
  }
  bool quitted = quit_;
  quit_ = false;
  return quitted;
}

void PollLoop::Quit() {
  quit_ = true;
}

platform::TimerId PollLoop::SetTimer(std::chrono::milliseconds interval, Task tick) {
  if (interval.count() < 1) interval = std::chrono::milliseconds(1);
  platform::TimerId id = nextTimer_++;
  timers_[id] =
      TimerEntry{interval, Clock::now() + interval, std::make_shared<Task>(std::move(tick))};
  return id;
}

void PollLoop::KillTimer(platform::TimerId id) {
  timers_.erase(id);
}

void PollLoop::WatchFd(int fd, Task onReadable) {
  if (fd < 0) return;
  watches_[fd] = WatchEntry{std::make_shared<Task>(std::move(onReadable)), nextGeneration_++};
}

void PollLoop::UnwatchFd(int fd) {
  watches_.erase(fd);
}

std::chrono::steady_clock::time_point PollLoop::Now() {
  return Clock::now();
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
