#pragma once
// The process's message loop as the add-in sees it: the poll loop, with the terminal
// redrawn at every yield so that the batch window's progress line follows the batch.
// A batch's yield between items turns the loop at most every kItemPace, or at once
// when the user asked to stop: a poll and a redraw for every one of a hundred
// thousand messages the start-up sweep passes over took a sixth of its time.

#include <chrono>
#include <functional>

#include "platform/posix/poll_loop.h"

namespace stow::app {

class AppLoop : public platform::MessageLoop {
 public:
  explicit AppLoop(posix::PollLoop& inner) : inner_(inner) {}
  void SetOnYield(std::function<void()> onYield) { onYield_ = std::move(onYield); }
  // Whether the user asked to stop (Ctrl-C): a batch's next yield then turns at once.
  void SetStopAsked(std::function<bool()> asked) { stopAsked_ = std::move(asked); }

  void Post(Task task) override { inner_.Post(std::move(task)); }
  void DoEvents() override {
    inner_.DoEvents();
    if (onYield_) onYield_();
    nextItemTurn_ = inner_.Now() + kItemPace;
  }
  void DoEventsBetweenItems() override {
    if (inner_.Now() >= nextItemTurn_ || (stopAsked_ && stopAsked_())) DoEvents();
  }
  static constexpr std::chrono::milliseconds kItemPace{5};
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
  std::function<bool()> stopAsked_;
  std::chrono::steady_clock::time_point nextItemTurn_{};
};

}  // namespace stow::app
