#include "platform/loop_core.h"

#include <poll.h>

#include <algorithm>
#include <utility>
#include <vector>

namespace stow::platform {

LoopCore::LoopCore(std::function<Clock::time_point()> clock) : clock_(std::move(clock)) {}

void LoopCore::Post(Task task) {
  if (task) posted_.push_back(std::move(task));
}

void LoopCore::RunPosted() {
  // Only what was there when the turn began: work that posts more work must not
  // keep one turn going for ever.
  std::size_t n = posted_.size();
  for (std::size_t i = 0; i < n && !posted_.empty(); ++i) {
    Task task = std::move(posted_.front());
    posted_.pop_front();
    task();
  }
}

int LoopCore::PollOnly(int timeoutMs) {
  std::vector<pollfd> fds;
  for (const auto& [fd, w] : watches_) fds.push_back(pollfd{fd, POLLIN, 0});
  return ::poll(fds.data(), fds.size(), timeoutMs);
}

bool LoopCore::RunReadable() {
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
    // Unwatched, or watched anew, by a callback since the poll.
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

void LoopCore::RunDueTimers() {
  Clock::time_point now = Now();
  std::vector<std::pair<Clock::time_point, TimerId>> due;
  for (const auto& [id, t] : timers_)
    if (t.due <= now) due.emplace_back(t.due, id);
  std::sort(due.begin(), due.end());
  for (const auto& [when, id] : due) {
    auto it = timers_.find(id);
    // Killed, or already ticked by a nested turn, since the list was made.
    if (it == timers_.end() || it->second.due > now) continue;
    TimerEntry& t = it->second;
    if (*t.running) continue;
    t.due += t.interval;
    if (t.due <= now) t.due = now + t.interval;  // fell behind: no burst of catch-up ticks
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

void LoopCore::DoEvents() {
  RunPosted();
  RunReadable();
  RunDueTimers();
}

bool LoopCore::Turn() {
  RunPosted();
  if (quit_) return true;
  if (posted_.empty()) {
    Clock::time_point next = NextDue();
    if (next == Clock::time_point::max() && watches_.empty()) return false;
    if (next > Now() && !WaitUntil(next)) return false;
  }
  RunReadable();
  RunDueTimers();
  return true;
}

LoopCore::Clock::time_point LoopCore::NextDue() const {
  Clock::time_point next = Clock::time_point::max();
  for (const auto& [id, t] : timers_)
    if (!*t.running) next = std::min(next, t.due);
  return next;
}

void LoopCore::Quit() {
  quit_ = true;
}

bool LoopCore::TakeQuit() {
  return std::exchange(quit_, false);
}

TimerId LoopCore::SetTimer(std::chrono::milliseconds interval, Task tick) {
  if (interval.count() < 1) interval = std::chrono::milliseconds(1);
  TimerId id = nextTimer_++;
  timers_[id] = TimerEntry{interval, Now() + interval, std::make_shared<Task>(std::move(tick))};
  return id;
}

void LoopCore::KillTimer(TimerId id) {
  timers_.erase(id);
}

void LoopCore::WatchFd(int fd, Task onReadable) {
  if (fd < 0) return;
  watches_[fd] = WatchEntry{std::make_shared<Task>(std::move(onReadable)), nextGeneration_++};
}

void LoopCore::UnwatchFd(int fd) {
  watches_.erase(fd);
}

}  // namespace stow::platform
