#pragma once
// The one message loop of the process: posted work, timers and file-descriptor
// sources (store notifications). Everything runs on the thread that runs the loop.

#include <chrono>
#include <cstdint>
#include <functional>

namespace stow::platform {

using TimerId = std::uint64_t;

class MessageLoop {
 public:
  virtual ~MessageLoop() = default;
  using Task = std::function<void()>;

  // Queues work to run on the loop's thread at the next turn.
  virtual void Post(Task task) = 0;
  // Runs whatever is ready now (posted work, due timers, readable sources) and
  // returns: the "yield to the message loop" of batches and sweeps.
  virtual void DoEvents() = 0;
  // Runs until Quit.
  virtual void Run() = 0;
  virtual void Quit() = 0;
  // A repeating timer; the first tick comes one interval from now.
  virtual TimerId SetTimer(std::chrono::milliseconds interval, Task tick) = 0;
  virtual void KillTimer(TimerId id) = 0;
  // Calls onReadable whenever fd is readable.
  virtual void WatchFd(int fd, Task onReadable) = 0;
  virtual void UnwatchFd(int fd) = 0;
  virtual std::chrono::steady_clock::time_point Now() = 0;
};

}  // namespace stow::platform
