#pragma once
// The message loop of the host program: poll(2) over the watched descriptors,
// timers on the steady clock, and posted work, all on the one thread that runs it.
// Every callback may post, set and kill timers, watch and unwatch descriptors and
// call DoEvents (or Run) again. A timer is rescheduled before its tick runs and does
// not fire again while that tick is still running, so a tick that yields to the loop
// is never re-entered.

#include <signal.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "platform/message_loop.h"

namespace stow::posix {

class PollLoop : public platform::MessageLoop {
 public:
  PollLoop() = default;
  PollLoop(const PollLoop&) = delete;
  PollLoop& operator=(const PollLoop&) = delete;

  void Post(Task task) override;
  // One turn without blocking: the work posted before this call, then readable
  // descriptors, then the timers due now (earliest first).
  void DoEvents() override;
  // Turns until Quit. Also returns when nothing is left that could ever happen (no
  // posted work, no timer, no watched descriptor). A Quit made while no Run is
  // active ends the next Run at once.
  void Run() override;
  void Quit() override;
  platform::TimerId SetTimer(std::chrono::milliseconds interval, Task tick) override;
  void KillTimer(platform::TimerId id) override;
  // Watching an fd again replaces its callback. An fd closed without UnwatchFd is
  // dropped when poll reports it invalid.
  void WatchFd(int fd, Task onReadable) override;
  void UnwatchFd(int fd) override;
  std::chrono::steady_clock::time_point Now() override;

  // Like Run, but gives up after `limit`; true when Quit ended it.
  bool RunFor(std::chrono::milliseconds limit);

  std::size_t PendingTasks() const { return posted_.size(); }
  std::size_t TimerCount() const { return timers_.size(); }
  std::size_t WatchCount() const { return watches_.size(); }

 private:
  struct TimerEntry {
    std::chrono::milliseconds interval;
    std::chrono::steady_clock::time_point due;
    std::shared_ptr<Task> tick;
    // Set while its tick runs: a tick that yields to the loop is not re-entered.
    std::shared_ptr<bool> running = std::make_shared<bool>(false);
  };
  struct WatchEntry {
    std::shared_ptr<Task> onReadable;
    std::uint64_t generation;
  };
  using Clock = std::chrono::steady_clock;

  // One turn; with block set, waits in poll for the next timer, descriptor or the
  // deadline. Returns false when blocking was asked but nothing could ever happen.
  bool Turn(bool block, std::optional<Clock::time_point> deadline);
  void RunPosted();
  void RunDueTimers();

  std::deque<Task> posted_;
  std::map<platform::TimerId, TimerEntry> timers_;
  std::map<int, WatchEntry> watches_;
  platform::TimerId nextTimer_ = 1;
  std::uint64_t nextGeneration_ = 1;
  bool quit_ = false;
};

// Turns signals (SIGINT, SIGTERM ...) into a callback on a message loop, through a
// signalfd, for the watch mode of the host program. The signals are blocked for the
// thread while the watch lives (so they no longer end the process) and unblocked,
// with what arrived meanwhile consumed, when it goes.
class SignalWatch {
 public:
  SignalWatch(platform::MessageLoop& loop, const std::vector<int>& signals,
              std::function<void(int signal)> onSignal);
  ~SignalWatch();
  SignalWatch(const SignalWatch&) = delete;
  SignalWatch& operator=(const SignalWatch&) = delete;
  // False when the signalfd could not be created; then nothing was changed.
  bool Active() const { return fd_ >= 0; }

 private:
  void Drain(bool deliver);
  platform::MessageLoop& loop_;
  std::function<void(int)> onSignal_;
  int fd_ = -1;
  sigset_t oldMask_;
};

}  // namespace stow::posix
