#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace stow::maildir {

// Runs jobs one after another, in the order they were pushed, on a thread of its
// own. The last flushes of a save wait there while the program goes on with the
// next mail: on a disk where every flush is a round trip, that time is then spent
// on work instead of waiting.
//
// The thread ends when the queue has been empty for a short while, so that a
// process that forks between batches forks with no thread of ours alive.
class BackgroundQueue {
 public:
  BackgroundQueue() = default;
  BackgroundQueue(const BackgroundQueue&) = delete;
  BackgroundQueue& operator=(const BackgroundQueue&) = delete;
  ~BackgroundQueue();

  void Push(std::function<void()> job);
  // Returns once every job pushed before the call has run.
  void Drain();
  // Jobs pushed and not yet finished.
  std::size_t Pending();

 private:
  void Run();

  std::mutex mutex_;
  std::condition_variable wake_, done_;
  std::deque<std::function<void()>> jobs_;
  std::size_t running_ = 0;  // jobs taken off the queue and not finished
  bool alive_ = false;       // the thread is in Run
  bool stopping_ = false;
  std::thread thread_;
};

// The queue every Maildir store of the process uses for the ends of its saves. It
// is drained when the process exits normally.
BackgroundQueue& AfterSaveQueue();

}  // namespace stow::maildir
