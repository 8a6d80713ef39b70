#include "platform/headless/manual_loop.h"

#include <algorithm>
#include <utility>

namespace stow::headless {

bool ManualLoop::WaitUntil(Clock::time_point next) {
  if (next <= limit_) {
    now_ = std::max(now_, next);
    return true;
  }
  // The run limit is reached; or only descriptors are left: wait for the world.
  if (next != Clock::time_point::max() || WatchCount() == 0) return false;
  auto idle = std::chrono::duration_cast<std::chrono::milliseconds>(kIdleWait).count();
  return PollOnly(static_cast<int>(idle)) > 0;
}

void ManualLoop::Advance(std::chrono::milliseconds by) {
  Clock::time_point target = now_ + std::max(by, std::chrono::milliseconds(0));
  for (;;) {
    Clock::time_point next = NextDue();
    if (next > target) break;
    if (next > now_) now_ = next;
    DoEvents();
  }
  // A tick that itself advanced the clock may have gone past target; time never
  // runs backwards.
  if (target > now_) now_ = target;
  DoEvents();
}

void ManualLoop::Run() {
  ranOut_ = false;
  Clock::time_point outer = std::exchange(limit_, now_ + runLimit_);
  while (!TakeQuit()) {
    if (!Turn()) {
      ranOut_ = true;
      break;
    }
  }
  limit_ = outer;
}

}  // namespace stow::headless
