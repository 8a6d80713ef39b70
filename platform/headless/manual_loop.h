#pragma once
// A message loop on a virtual clock, for tests (platform/message_loop.h): time moves
// only when the test (or a Run with nothing else to do) moves it, so a 500 ms timer
// fires exactly at 500 ms, never early and never late, and a test never sleeps.
// Watched descriptors are real: DoEvents polls them without waiting, so an inotify
// or pipe fd works as in the host program.

#include <chrono>

#include "platform/loop_core.h"

namespace stow::headless {

class ManualLoop : public platform::LoopCore {
 public:
  ManualLoop() : LoopCore([this] { return now_; }) {}

  // Turns until Quit, moving virtual time to the next timer whenever nothing else is
  // ready, and waiting in real time (at most kIdleWait) for a watched descriptor when
  // no timer is left. Returns without Quit when nothing is left that could happen,
  // when that wait ran out, or when the next timer lies beyond the virtual time
  // limit (SetRunLimit); RanOut() then tells so.
  void Run() override;

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

  // The longest real time a Run waits for a watched descriptor.
  static constexpr std::chrono::seconds kIdleWait{10};

 private:
  bool WaitUntil(Clock::time_point next) override;

  Clock::time_point start_{std::chrono::hours(1)};
  Clock::time_point now_{start_};
  std::chrono::milliseconds runLimit_ = std::chrono::hours(1);
  // The active Run's end in virtual time.
  Clock::time_point limit_ = Clock::time_point::max();
  bool ranOut_ = false;
};

}  // namespace stow::headless
