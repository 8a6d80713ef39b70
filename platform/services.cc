#include "platform/services.h"

namespace stow::platform {

Services& Platform() {
  static Services services;
  return services;
}

}  // namespace stow::platform
