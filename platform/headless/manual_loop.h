#pragma once
// A message loop on a virtual clock, for tests: time moves only when the test (or
// an idle Run) moves it, so a 500 ms timer fires exactly at 500 ms, never early and
// never late, and a test never sleeps. Watched descriptors are real: DoEvents polls
// them without waiting, so an inotify or pipe fd works as in the host program.
// As in the host program's loop, a timer never fires again while its own tick runs.

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>

#include "platform/message_loop.h"

namespace stow::headless {

class ManualLoop : public platform::MessageLoop {
 public:
  using Clock = std::chrono::steady_clock;

  ManualLoop() = default;
  ManualLoop(const ManualLoop&) = delete;
  ManualLoop& operator=(const ManualLoop&) = delete;

  void Post(Task task) override;
  // Runs the work posted before this call, then readable descriptors, then timers
  // due at the virtual now (earliest first). Time does not move.
  void DoEvents() override;
  // Turns until Quit, moving virtual time to the next timer whenever nothing else
  // is ready. Returns without Quit when nothing is left that could happen (no posted
  // work, no timer; descriptors are polled once more first) or when the virtual
  // time limit (SetRunLimit) has passed; RanOut() then tells so.
  void Run() override;
  void Quit() override;
  platform::TimerId SetTimer(std::chrono::milliseconds interval, Task tick) override;
  void KillTimer(platform::TimerId id) override;
  void WatchFd(int fd, Task onReadable) override;
  void UnwatchFd(int fd) override;
  // The virtual time.
  Clock::time_point Now() override { return now_; }

  // Moves the clock forward by `by`, firing every timer that falls due on the way
  // at its own due time (Now() reads that time inside the tick), in order, with a
  // DoEvents at each step; ends with a DoEvents at the new time.
  void Advance(std::chrono::milliseconds by);
  // Virtual time passed since the loop was made.
  std::chrono::milliseconds Elapsed() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(now_ - start_);
  }
  // The longest virtual time one Run may cover (default one hour), so that a loop
  // nobody quits ends a test instead of spinning for ever.
  void SetRunLimit(std::chrono::milliseconds limit) { runLimit_ = limit; }
  // True when the last Run returned without Quit.
  bool RanOut() const { return ranOut_; }

  std::size_t PendingTasks() const { return posted_.size(); }
  std::size_t TimerCount() const { return timers_.size(); }
  std::size_t WatchCount() const { return watches_.size(); }
  // When the next timer falls due, or Clock::time_point::max() when there is none.
  // A timer whose tick is running is not counted: it cannot fire until the tick ends.
  Clock::time_point NextDue() const;

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
  // True when a callback ran.
  bool PollFds();
  void RunDueTimers();

  Clock::time_point start_{std::chrono::hours(1)};
  Clock::time_point now_{start_};
  std::deque<Task> posted_;
  std::map<platform::TimerId, TimerEntry> timers_;
  std::map<int, WatchEntry> watches_;
  platform::TimerId nextTimer_ = 1;
  std::uint64_t nextGeneration_ = 1;
  std::chrono::milliseconds runLimit_ = std::chrono::hours(1);
  bool quit_ = false;
  bool ranOut_ = false;
};

}  // namespace stow::headless
