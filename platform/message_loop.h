#pragma once
// The one message loop of the process: posted work, timers and file-descriptor
// sources (store notifications). Everything runs on the thread that runs the loop:
// no member may be called from another thread, and every callback runs on it.
//
// A turn of the loop runs, in this order: the work posted before the turn began, the
// callbacks of the watched descriptors that are readable, then the timers due (the
// earliest first). Every callback may post, set and kill timers, watch and unwatch
// descriptors, and call DoEvents or Run again (a nested turn). No member raises.
//
// Implementations: posix::PollLoop (the host program: poll(2) on the steady clock)
// and headless::ManualLoop (tests: a virtual clock that moves only when asked). Both
// are built on platform::LoopCore and run tests/contract/message_loop_contract.cc.

#include <chrono>
#include <cstdint>
#include <functional>

namespace stow::platform {

// 0 is never a timer's id.
using TimerId = std::uint64_t;

class MessageLoop {
 public:
  virtual ~MessageLoop() = default;
  using Task = std::function<void()>;

  // Queues task to run once, on the loop's thread, at the next turn (never inside
  // this call); tasks run in the order posted. Work that a task posts waits for the
  // turn after, so a task that posts itself never keeps one turn going. An empty
  // task is ignored.
  virtual void Post(Task task) = 0;
  // One turn without waiting: the work posted before this call, the readable
  // descriptors, the timers due now. Time does not move for it. This is the "yield
  // to the message loop" of batches and sweeps; it may be called from any callback.
  virtual void DoEvents() = 0;
  // The yield of a batch between two of its items: a DoEvents, or nothing when the
  // loop turned a moment ago. The host program's loop turns here at most every few
  // milliseconds (at once when the user asked to stop), so that a batch of a hundred
  // thousand quick items spends its time on them rather than on looking for events;
  // the test loop turns at every call.
  virtual void DoEventsBetweenItems() { DoEvents(); }
  // Turns, waiting between turns for the next thing to happen, until Quit; then
  // returns. A Quit made while no Run is active ends the next Run at once; a Quit
  // inside a nested Run ends that one only. Also returns, without Quit, when nothing
  // is left that could ever happen: no posted work, no timer that can fire and no
  // watched descriptor. A loop may stop earlier on a limit of its own (the test
  // loop's), and says so itself; callers that must know why Run returned keep their
  // own flag.
  virtual void Run() = 0;
  // Makes the innermost active Run return once the step of the turn that called Quit
  // is over (the rest of that step's posted work, readable descriptors or due timers
  // still runs), or the next Run at once when none is active.
  virtual void Quit() = 0;
  // A repeating timer; returns its id. The first tick comes `interval` after this
  // call (an interval below 1 ms counts as 1 ms), the next ones an interval after
  // the tick before was due; a loop that fell behind ticks once, not once for every
  // interval missed. A timer is rescheduled before its tick runs and does not fire
  // again while that tick runs (a tick that yields is never re-entered).
  virtual TimerId SetTimer(std::chrono::milliseconds interval, Task tick) = 0;
  // Ends a timer, also from inside its own tick; an unknown id is ignored.
  virtual void KillTimer(TimerId id) = 0;
  // Calls onReadable at each turn in which fd is readable (or at end of file), until
  // UnwatchFd. Watching an fd again replaces its callback; a negative fd is ignored.
  // An fd closed without UnwatchFd is dropped at the next turn that polls it.
  virtual void WatchFd(int fd, Task onReadable) = 0;
  // Stops watching fd, at once: a callback of it not yet run in this turn is not run.
  virtual void UnwatchFd(int fd) = 0;
  // The loop's clock: never runs backwards; timers fall due by it.
  virtual std::chrono::steady_clock::time_point Now() = 0;
};

}  // namespace stow::platform
