#include "platform/headless/manual_loop.h"

#include <poll.h>

#include <algorithm>
#include <utility>
#include <vector>

namespace stow::headless {

void ManualLoop::Post(Task task) {
  if (task) posted_.push_back(std::move(task));
}

void ManualLoop::RunPosted() {
  std::size_t n = posted_.size();
  for (std::size_t i = 0; i < n && !posted_.empty(); ++i) {
    Task task = std::move(posted_.front());
    posted_.pop_front();
    task();
  }
}

bool ManualLoop::PollFds() {
  if (watches_.empty()) return false;
  std::vector<pollfd> fds;
  std::vector<std::uint64_t> generations;
  for (const auto& [fd, w] : watches_) {
    fds.push_back(pollfd{fd, POLLIN, 0});
    generations.push_back(w.generation);
  }
  if (::poll(fds.data(), fds.size(), 0) <= 0) return false;
  bool ran = false;
  for (std::size_t i = 0; i < fds.size(); ++i) {
    if (fds[i].revents == 0) continue;
    auto it = watches_.find(fds[i].fd);
    if (it == watches_.end() || it->second.generation != generations[i]) continue;
    if (fds[i].revents & POLLNVAL) {
      watches_.erase(it);
      continue;
    }
    std::shared_ptr<Task> onReadable = it->second.onReadable;
    (*onReadable)();
    ran = true;
  }
  return ran;
}

void ManualLoop::RunDueTimers() {
  std::vector<std::pair<Clock::time_point, platform::TimerId>> due;
  for (const auto& [id, t] : timers_)
    if (t.due <= now_) due.emplace_back(t.due, id);
  std::sort(due.begin(), due.end());
  for (const auto& [when, id] : due) {
    auto it = timers_.find(id);
    if (it == timers_.end() || it->second.due > now_) continue;
    TimerEntry& t = it->second;
    if (*t.running) continue;
    t.due += t.interval;
    if (t.due <= now_) t.due = now_ + t.interval;
    std::shared_ptr<Task> tick = t.tick;
    std::shared_ptr<bool> running = t.running;
    *running = true;
    struct Reset {
      bool& flag;
      ~Reset() { flag = false; }
    } reset{*running};
    (*tick)();
  }
}

void ManualLoop::DoEvents() {
  RunPosted();
  PollFds();
  RunDueTimers();
}

ManualLoop::Clock::time_point ManualLoop::NextDue() const {
  Clock::time_point next = Clock::time_point::max();
  for (const auto& [id, t] : timers_)
    if (!*t.running) next = std::min(next, t.due);
  return next;
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
  Clock::time_point limit = now_ + runLimit_;
  while (!quit_) {
    DoEvents();
    if (quit_ || !posted_.empty()) continue;
    Clock::time_point next = NextDue();
    if (next == Clock::time_point::max() || next > limit) {
      // Descriptors may have become readable through what the last turn did.
      if (PollFds() || quit_ || !posted_.empty()) continue;
      ranOut_ = true;
      break;
    }
    if (next > now_) now_ = next;
  }
  quit_ = false;
}

void ManualLoop::Quit() {
  quit_ = true;
}

platform::TimerId ManualLoop::SetTimer(std::chrono::milliseconds interval, Task tick) {
  if (interval.count() < 1) interval = std::chrono::milliseconds(1);
  platform::TimerId id = nextTimer_++;
  timers_[id] = TimerEntry{interval, now_ + interval, std::make_shared<Task>(std::move(tick))};
  return id;
}

void ManualLoop::KillTimer(platform::TimerId id) {
  timers_.erase(id);
}

void ManualLoop::WatchFd(int fd, Task onReadable) {
  if (fd < 0) return;
  watches_[fd] = WatchEntry{std::make_shared<Task>(std::move(onReadable)), nextGeneration_++};
}

void ManualLoop::UnwatchFd(int fd) {
  watches_.erase(fd);
}

}  // namespace stow::headless
