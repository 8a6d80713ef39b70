#include "support/modRegistryEntry.h"

#include "platform/com_error.h"
#include "platform/registry.h"
#include "platform/services.h"

namespace stow::modRegistryEntry {
namespace {

using platform::Hive;
using platform::Registry;
using platform::RegKey;
namespace syserr = platform::syserr;

constexpr const char* kSource = "modRegistryEntry";

std::string TrimBlanks(const std::string& s) {
  std::size_t first = s.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  std::size_t last = s.find_last_not_of(' ');
  return s.substr(first, last - first + 1);
}

void CheckNames(const std::string& appName, const std::string& valueName) {
  if (TrimBlanks(appName).empty()) Raise(kErrAppNameEmpty, kSource, "AppName may not be empty");
  if (TrimBlanks(valueName).empty()) Raise(kErrKeyEmpty, kSource, "Key may not be empty");
}

std::int32_t RegistryError(long code) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(kErrRegistry) +
                                   static_cast<std::uint32_t>(code));
}

// Closes the key whatever happens in between; a failing close changes nothing for
// the caller.
class OpenedKey {
 public:
  explicit OpenedKey(Registry* registry) : registry_(registry) {}
  ~OpenedKey() {
    if (key_) registry_->CloseKey(key_);
  }
  OpenedKey(const OpenedKey&) = delete;
  OpenedKey& operator=(const OpenedKey&) = delete;
  RegKey* operator&() { return &key_; }
  RegKey get() const { return key_; }

 private:
  Registry* registry_;
  RegKey key_ = 0;
};

// REG_SZ data is UTF-16LE; a program other than ours may have stored the terminating
// NUL (or an odd byte), which is not part of the text.
std::string TextOf(std::string data) {
  if (data.size() % 2) data.pop_back();
  while (data.size() >= 2 && data[data.size() - 1] == '\0' && data[data.size() - 2] == '\0')
    data.resize(data.size() - 2);
  return platform::Utf16BytesToUtf8(data);
}

}  // namespace

std::string RegistryKeyPath(const std::string& appName, const std::string& section) {
  std::string path = "Software\\Quillmere\\" + TrimBlanks(appName);
  std::string trimmedSection = TrimBlanks(section);
  if (!trimmedSection.empty()) path += "\\" + trimmedSection;
  return path;
}

void WriteRegistryValue(const std::string& appName, const std::string& section,
                        const std::string& valueName, const std::string& text) {
  CheckNames(appName, valueName);
  Registry* registry = platform::Platform().registry;
  if (!registry)
    Raise(RegistryError(syserr::kInvalidHandle), kSource, "Could not open/create registry section");
  OpenedKey key(registry);
  long rc = registry->CreateKey(Hive::CurrentUser, RegistryKeyPath(appName, section), &key);
  if (rc != syserr::kSuccess)
    Raise(RegistryError(rc), kSource, "Could not open/create registry section");
  rc = registry->SetValue(key.get(), valueName, platform::REG_SZ, platform::Utf8ToUtf16Bytes(text));
  if (rc != syserr::kSuccess) Raise(RegistryError(rc), kSource, "Could not set key value");
}

std::string ReadRegistryValue(const std::string& appName, const std::string& section,
                              const std::string& valueName, const std::string& defaultText) {
  CheckNames(appName, valueName);
  Registry* registry = platform::Platform().registry;
  if (!registry)
    Raise(RegistryError(syserr::kInvalidHandle), kSource, "Could not open registry section");
  OpenedKey key(registry);
  long rc = registry->OpenKey(Hive::CurrentUser, RegistryKeyPath(appName, section),
                              platform::KEY_READ, &key);
  if (rc == syserr::kFileNotFound) return defaultText;
  if (rc != syserr::kSuccess) Raise(RegistryError(rc), kSource, "Could not open registry section");

  // Type and data in one query, so that a value rewritten by another process in
  // between cannot pair one value's type with another's data.
  std::uint32_t type = platform::REG_NONE;
  std::string data;
  rc = registry->QueryValue(key.get(), valueName, &type, &data);
  if (rc == syserr::kFileNotFound) return "";
  // Any other failure would otherwise pass for an empty value.
  if (rc != syserr::kSuccess) Raise(RegistryError(rc), kSource, "Could not read key value");
  if (type != platform::REG_SZ)
    Raise(RegistryError(static_cast<long>(type)), kSource, "Registry data not a string");
  return TextOf(std::move(data));
}

}  // namespace stow::modRegistryEntry
