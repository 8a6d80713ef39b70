#pragma once
// Tells the watcher that the settings store was written to, by any process: the store
// and its write-ahead log are watched with inotify on the message loop.

#include <functional>
#include <string>

#include "platform/message_loop.h"

namespace stow::app {

class SettingsFileWatch {
 public:
  // Calls changed on the loop once writes to the file at path (or to the files beside
  // it whose names start with its name) have paused for a moment, so that a command
  // saving several values is seen once, when it is done. Watches nothing when inotify
  // cannot be had.
  SettingsFileWatch(platform::MessageLoop& loop, const std::string& path,
                    std::function<void()> changed);
  ~SettingsFileWatch();
  SettingsFileWatch(const SettingsFileWatch&) = delete;
  SettingsFileWatch& operator=(const SettingsFileWatch&) = delete;

 private:
  void Read();
  platform::MessageLoop& loop_;
  std::string name_;
  std::function<void()> changed_;
  int fd_ = -1;
  platform::TimerId settle_ = 0;
};

}  // namespace stow::app
