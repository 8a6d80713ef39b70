#pragma once
// The process's message loop as the add-in sees it: the poll loop, with the terminal
// redrawn at every yield so that the batch window's progress line follows the batch.

#include <functional>

#include "platform/posix/poll_loop.h"

namespace stow::app {

class AppLoop : public platform::MessageLoop {
 public:
  explicit AppLoop(posix::PollLoop& inner) : inner_(inner) {}
  void SetOnYield(std::function<void()> onYield) { onYield_ = std::move(onYield); }

  void Post(Task task) override { inner_.Post(std::move(task)); }
  void DoEvents() override {
    inner_.DoEvents();
    if (onYield_) onYield_();
  }
  void Run() override { inner_.Run(); }
  void Quit() override { inner_.Quit(); }
  platform::TimerId SetTimer(std::chrono::milliseconds interval, Task tick) override {
    return inner_.SetTimer(interval, std::move(tick));
  }
  void KillTimer(platform::TimerId id) override { inner_.KillTimer(id); }
  void WatchFd(int fd, Task onReadable) override { inner_.WatchFd(fd, std::move(onReadable)); }
  void UnwatchFd(int fd) override { inner_.UnwatchFd(fd); }
  std::chrono::steady_clock::time_point Now() override { return inner_.Now(); }

 private:
  posix::PollLoop& inner_;
  std::function<void()> onYield_;
};

}  // namespace stow::app
