#pragma once
// Reading and writing one text value of the add-in's settings key,
// HKEY_CURRENT_USER\Software\Quillmere\<app>[\<section>], through the registry of the
// platform services. Failures raise ComError with the numbers below; the key is
// always closed first.

#include <cstdint>
#include <string>

namespace stow::modRegistryEntry {

// Application-defined error numbers start here.
inline constexpr std::int32_t kErrorBase = static_cast<std::int32_t>(0x80040000u);
inline constexpr std::int32_t kErrAppNameEmpty = kErrorBase + 1000;
inline constexpr std::int32_t kErrKeyEmpty = kErrorBase + 1002;
// Plus the system error code, or the registry type code for a value of the wrong type.
inline constexpr std::int32_t kErrRegistry = kErrorBase + 2000;

// The key path of an application name and section ("Software\Quillmere\KZO").
std::string RegistryKeyPath(const std::string& appName, const std::string& section);

// Opens or creates the key and stores text as REG_SZ.
void WriteRegistryValue(const std::string& appName, const std::string& section,
                        const std::string& valueName, const std::string& text);

// The text stored under valueName; defaultText when the key does not exist, "" when the
// value does not exist or is empty. Raises "Registry data not a string" for a value of
// another type.
std::string ReadRegistryValue(const std::string& appName, const std::string& section,
                              const std::string& valueName, const std::string& defaultText);

}  // namespace stow::modRegistryEntry
