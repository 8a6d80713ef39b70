#pragma once
// The message loop of the host program (platform/message_loop.h): poll(2) over the
// watched descriptors, timers on the steady clock, and posted work, all on the one
// thread that runs it.

#include <signal.h>

#include <chrono>
#include <functional>
#include <vector>

#include "platform/loop_core.h"
#include "platform/message_loop.h"

namespace stow::posix {

class PollLoop : public platform::LoopCore {
 public:
  PollLoop() : LoopCore([] { return Clock::now(); }) {}

  // Waits in poll(2) for the watched descriptors and the next timer; with nothing
  // but descriptors left it waits for them for ever.
  void Run() override;
  // Like Run, but gives up after `limit`; true when Quit ended it.
  bool RunFor(std::chrono::milliseconds limit);

 private:
  bool WaitUntil(Clock::time_point next) override;
  // RunFor's end; max() in Run.
  Clock::time_point deadline_ = Clock::time_point::max();
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
