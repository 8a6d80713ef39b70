#include "app/settings_watch.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

namespace stow::app {

SettingsFileWatch::SettingsFileWatch(platform::MessageLoop& loop, const std::string& path,
                                     std::function<void()> changed)
    : loop_(loop), changed_(std::move(changed)) {
  std::filesystem::path p(path);
  name_ = p.filename().string();
  fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd_ < 0) return;
  if (::inotify_add_watch(fd_, p.parent_path().c_str(),
                          IN_CLOSE_WRITE | IN_MODIFY | IN_MOVED_TO | IN_CREATE) < 0) {
    ::close(fd_);
    fd_ = -1;
    return;
  }
  loop_.WatchFd(fd_, [this] { Read(); });
}

SettingsFileWatch::~SettingsFileWatch() {
  if (settle_) loop_.KillTimer(settle_);
  if (fd_ < 0) return;
  loop_.UnwatchFd(fd_);
  ::close(fd_);
}

void SettingsFileWatch::Read() {
  alignas(inotify_event) char buffer[4096];
  bool ours = false;
  for (;;) {
    ssize_t n = ::read(fd_, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    for (char* p = buffer; p < buffer + n;) {
      auto* e = reinterpret_cast<inotify_event*>(p);
      if (e->len > 0 && std::string(e->name).rfind(name_, 0) == 0) ours = true;
      p += sizeof(inotify_event) + e->len;
    }
  }
  if (!ours) return;
  if (settle_) loop_.KillTimer(settle_);
  settle_ = loop_.SetTimer(std::chrono::milliseconds(300), [this] {
    loop_.KillTimer(settle_);
    settle_ = 0;
    if (changed_) changed_();
  });
}

}  // namespace stow::app
