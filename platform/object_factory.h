#pragma once
// The system's object factory: creates objects by programmatic identifier
// ("QLXLib.QLXMailItem", "Scripting.FileSystemObject", "Scripting.Dictionary",
// "Wscript.Shell", "Outlook.Application", ...). The host program and the tests
// register what exists; a test can make an identifier fail to create.

#include <functional>
#include <map>
#include <set>
#include <string>

#include "platform/com_object.h"

namespace stow::platform {

class ObjectFactory {
 public:
  using Creator = std::function<ComPtr()>;

  // Identifiers are compared without regard to ASCII case, as the system does.
  void Register(const std::string& progId, Creator creator);
  void Unregister(const std::string& progId);
  bool IsRegistered(const std::string& progId) const;

  // Raises ComError 429 ("ActiveX component can't create object") when the
  // identifier is unknown, its creator returns nothing, or it was made to fail.
  ComPtr Create(const std::string& progId);

  // Tests: every later Create of progId fails until cleared.
  void FailCreation(const std::string& progId, bool fail = true);
  // How many times Create was asked for progId.
  int CreateCount(const std::string& progId) const;

 private:
  static std::string Key(const std::string& progId);
  std::map<std::string, Creator> creators_;
  std::set<std::string> failing_;
  std::map<std::string, int> counts_;
};

}  // namespace stow::platform
