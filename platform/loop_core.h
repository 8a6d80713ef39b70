#pragma once
// The core the message loops share (platform/message_loop.h): the posted work, the
// timer table on a clock the loop injects, and the watched descriptors, with the
// rules the contract states. A loop adds only how time passes and how it waits:
// posix::PollLoop blocks in poll(2) on the steady clock, headless::ManualLoop moves
// a virtual clock.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>

#include "platform/message_loop.h"

namespace stow::platform {

class LoopCore : public MessageLoop {
 public:
  using Clock = std::chrono::steady_clock;

  // clock: the loop's time, read for Now() and for every timer decision.
  explicit LoopCore(std::function<Clock::time_point()> clock);
  LoopCore(const LoopCore&) = delete;
  LoopCore& operator=(const LoopCore&) = delete;

  void Post(Task task) override;
  void DoEvents() override;
  void Quit() override;
  TimerId SetTimer(std::chrono::milliseconds interval, Task tick) override;
  void KillTimer(TimerId id) override;
  void WatchFd(int fd, Task onReadable) override;
  void UnwatchFd(int fd) override;
  Clock::time_point Now() override { return clock_(); }

  // Posted work not yet run.
  std::size_t PendingTasks() const { return posted_.size(); }
  // Timers set and not killed.
  std::size_t TimerCount() const { return timers_.size(); }
  // Descriptors watched (closed ones are dropped at the next poll).
  std::size_t WatchCount() const { return watches_.size(); }
  // When the next timer falls due; Clock::time_point::max() when none can fire (a
  // timer whose tick is running cannot until the tick ends).
  Clock::time_point NextDue() const;

 protected:
  // One turn of a Run: the posted work; then, unless that quit, the wait for the
  // next thing to happen (WaitUntil, only when no work is posted), the readable
  // descriptors and the due timers. Returns false, having run only the posted work,
  // when nothing is left that could ever happen (no posted work, no timer that can
  // fire, no descriptor watched) or when WaitUntil gave up.
  bool Turn();
  // Waits, running nothing, until `next` (when the next timer falls due;
  // Clock::time_point::max() when only descriptors are watched) or until a watched
  // descriptor is ready, or less by a limit of the loop's own. false: the loop gives
  // up waiting and Run ends.
  virtual bool WaitUntil(Clock::time_point next) = 0;
  // poll(2) on the watched descriptors for at most timeoutMs (-1: no limit), running
  // nothing; the number poll returned.
  int PollOnly(int timeoutMs);
  // True once after a Quit, which it consumes; Run ends on it.
  bool TakeQuit();
  // A Quit not yet consumed.
  bool QuitPending() const { return quit_; }

 private:
  struct TimerEntry {
    std::chrono::milliseconds interval;
    Clock::time_point due;
    std::shared_ptr<Task> tick;
    // Set while its tick runs: a tick that yields to the loop is not re-entered.
    std::shared_ptr<bool> running = std::make_shared<bool>(false);
  };
  struct WatchEntry {
    std::shared_ptr<Task> onReadable;
    std::uint64_t generation;
  };

  void RunPosted();
  // Runs the callbacks of the descriptors readable now; true when one ran.
  bool RunReadable();
  void RunDueTimers();

  std::function<Clock::time_point()> clock_;
  std::deque<Task> posted_;
  std::map<TimerId, TimerEntry> timers_;
  std::map<int, WatchEntry> watches_;
  TimerId nextTimer_ = 1;
  std::uint64_t nextGeneration_ = 1;
  bool quit_ = false;
};

}  // namespace stow::platform
