#pragma once
// The platform services of this process, set once by whoever runs the add-in (the
// host program or a test fixture) before any add-in code runs.

#include "platform/message_loop.h"
#include "platform/object_factory.h"
#include "platform/registry.h"
#include "platform/shell.h"
#include "platform/ui.h"

namespace stow::platform {

struct Services {
  Registry* registry = nullptr;
  Shell* shell = nullptr;
  ui::Toolkit* ui = nullptr;
  MessageLoop* loop = nullptr;
  ObjectFactory* factory = nullptr;
};

// The services in use; each pointer is set before the add-in runs.
Services& Platform();

// Tests: installs services for a scope and restores the earlier ones after it.
class ScopedServices {
 public:
  explicit ScopedServices(const Services& s) : saved_(Platform()) { Platform() = s; }
  ~ScopedServices() { Platform() = saved_; }
  ScopedServices(const ScopedServices&) = delete;
  ScopedServices& operator=(const ScopedServices&) = delete;

 private:
  Services saved_;
};

}  // namespace stow::platform
