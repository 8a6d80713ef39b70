#include "platform/object_factory.h"

#include <algorithm>
#include <cctype>

#include "platform/com_error.h"

namespace stow::platform {

std::string ObjectFactory::Key(const std::string& progId) {
  std::string k = progId;
  std::transform(k.begin(), k.end(), k.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return k;
}

void ObjectFactory::Register(const std::string& progId, Creator creator) {
  creators_[Key(progId)] = std::move(creator);
}

void ObjectFactory::Unregister(const std::string& progId) {
  creators_.erase(Key(progId));
}

bool ObjectFactory::IsRegistered(const std::string& progId) const {
  return creators_.count(Key(progId)) != 0;
}

ComPtr ObjectFactory::Create(const std::string& progId) {
  const std::string key = Key(progId);
  ++counts_[key];
  auto it = creators_.find(key);
  if (failing_.count(key) == 0 && it != creators_.end()) {
    if (ComPtr obj = it->second()) return obj;
  }
  Raise(errnum::kCannotCreateObject, progId, "ActiveX component can't create object");
}

void ObjectFactory::FailCreation(const std::string& progId, bool fail) {
  if (fail)
    failing_.insert(Key(progId));
  else
    failing_.erase(Key(progId));
}

int ObjectFactory::CreateCount(const std::string& progId) const {
  auto it = counts_.find(Key(progId));
  return it == counts_.end() ? 0 : it->second;
}

}  // namespace stow::platform
