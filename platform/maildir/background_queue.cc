#include "platform/maildir/background_queue.h"

#include <chrono>

namespace stow::maildir {

BackgroundQueue::~BackgroundQueue() {
  Drain();
  std::unique_lock<std::mutex> lock(mutex_);
  stopping_ = true;
  wake_.notify_all();
  lock.unlock();
  if (thread_.joinable()) thread_.join();
}

void BackgroundQueue::Push(std::function<void()> job) {
  std::unique_lock<std::mutex> lock(mutex_);
  jobs_.push_back(std::move(job));
  if (!alive_) {
    // The previous thread has left Run (or there was none): start another.
    if (thread_.joinable()) {
      lock.unlock();
      thread_.join();
      lock.lock();
    }
    if (!alive_) {
      alive_ = true;
      thread_ = std::thread([this] { Run(); });
    }
  }
  wake_.notify_one();
}

void BackgroundQueue::Drain() {
  std::unique_lock<std::mutex> lock(mutex_);
  done_.wait(lock, [&] { return jobs_.empty() && running_ == 0; });
}

std::size_t BackgroundQueue::Pending() {
  std::lock_guard<std::mutex> lock(mutex_);
  return jobs_.size() + running_;
}

void BackgroundQueue::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    if (jobs_.empty()) {
      bool woke = wake_.wait_for(lock, std::chrono::milliseconds(200),
                                 [&] { return !jobs_.empty() || stopping_; });
      if (!woke || (jobs_.empty() && stopping_)) {
        alive_ = false;
        return;
      }
      continue;
    }
    auto job = std::move(jobs_.front());
    jobs_.pop_front();
    ++running_;
    lock.unlock();
    // A job reports nothing: what it does is a flush or a clean-up that the next
    // run of the program would do as well.
    try {
      job();
    } catch (...) {
    }
    lock.lock();
    --running_;
    if (jobs_.empty() && running_ == 0) done_.notify_all();
  }
}

BackgroundQueue& AfterSaveQueue() {
  static BackgroundQueue queue;
  return queue;
}

}  // namespace stow::maildir
