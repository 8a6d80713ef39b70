#pragma once
// Base of every object created by programmatic identifier through the object
// factory (the safe item library, the scripting runtime, the shell object, the
// host application class). Callers cast to the interface they expect.

#include <memory>
#include <string>

namespace stow {

class ComObject : public std::enable_shared_from_this<ComObject> {
 public:
  virtual ~ComObject() = default;
};

using ComPtr = std::shared_ptr<ComObject>;

template <class T>
std::shared_ptr<T> ComCast(const ComPtr& p) {
  return std::dynamic_pointer_cast<T>(p);
}

}  // namespace stow
