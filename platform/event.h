#pragma once
// Events raised by host objects (ItemAdd, NewExplorer, FolderSwitch, Close, Quit...).
// A sink holds the Connection it got from Connect; dropping the Connection ends the
// subscription, just as releasing the object that sinks a COM event does.

#include <functional>
#include <memory>
#include <vector>

namespace stow {

class Connection {
 public:
  Connection() = default;
  explicit Connection(std::shared_ptr<void> token) : token_(std::move(token)) {}
  void Disconnect() { token_.reset(); }
  bool Connected() const { return token_ != nullptr; }

 private:
  std::shared_ptr<void> token_;
};

template <class... Args>
class Event {
 public:
  using Handler = std::function<void(Args...)>;

  [[nodiscard]] Connection Connect(Handler handler) {
    auto slot = std::make_shared<Handler>(std::move(handler));
    slots_.push_back(slot);
    return Connection(slot);
  }

  // Handlers may connect, disconnect or raise again while being called.
  void Raise(Args... args) {
    std::vector<std::shared_ptr<Handler>> live;
    live.reserve(slots_.size());
    for (auto& weak : slots_) {
      if (auto slot = weak.lock()) live.push_back(std::move(slot));
    }
    std::erase_if(slots_, [](const std::weak_ptr<Handler>& w) { return w.expired(); });
    for (auto& slot : live) (*slot)(args...);
  }

  std::size_t ConnectionCount() const {
    std::size_t n = 0;
    for (auto& weak : slots_) n += weak.expired() ? 0 : 1;
    return n;
  }

 private:
  std::vector<std::weak_ptr<Handler>> slots_;
};

}  // namespace stow
