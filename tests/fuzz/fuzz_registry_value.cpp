// libFuzzer target: reading a settings value of any type and any bytes through
// modRegistryEntry over the memory registry (a value another program or an older
// version may have written).

#include <cstdint>
#include <string>

#include "platform/com_error.h"
#include "platform/memory/memory_registry.h"
#include "platform/services.h"
#include "support/modRegistryEntry.h"

using namespace stow;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  mem::MemoryRegistry registry;
  platform::ScopedServices scoped(platform::Services{.registry = &registry});
  std::uint32_t type = data[0] % 12;
  std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  const std::string key = modRegistryEntry::RegistryKeyPath("KZO", "");
  registry.SetRaw(platform::Hive::CurrentUser, key, "Fuzzed", type, bytes);
  std::string text;
  try {
    text = modRegistryEntry::ReadRegistryValue("KZO", "", "Fuzzed", "default");
  } catch (const ComError&) {
    return 0;  // a value of the wrong type is refused, not misread
  }
  // What was read can be written back and read again unchanged.
  modRegistryEntry::WriteRegistryValue("KZO", "", "Again", text);
  if (modRegistryEntry::ReadRegistryValue("KZO", "", "Again", "") != text) __builtin_trap();
  return 0;
}
