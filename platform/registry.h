#pragma once
// The settings store, shaped like the registry: hives, keys under backslash
// paths, typed named values, and system error codes as results (0 = success).
// Key paths and value names are compared without regard to case.
// Several processes may use one store at once; a crash never leaves a value
// half-written. Every member answers a code instead of raising: kSuccess, or the
// first that applies of kInvalidHandle (a handle not open in this object),
// kAccessDenied (a write through a KEY_READ handle), kFileNotFound, and kBusy (the
// store stayed locked by another process). A handle serves the object that opened
// it, until CloseKey.
//
// Implementations: sqlite::SqliteRegistry (the real one) and mem::MemoryRegistry;
// both run tests/platform/sqlite/registry_contract_test.cc.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace stow::platform {

enum class Hive { CurrentUser, LocalMachine };

// System error codes the registry returns.
namespace syserr {
inline constexpr long kSuccess = 0;
inline constexpr long kFileNotFound = 2;  // key or value does not exist
inline constexpr long kAccessDenied = 5;
inline constexpr long kInvalidHandle = 6;
inline constexpr long kMoreData = 234;
inline constexpr long kNoMoreItems = 259;
inline constexpr long kBusy = 170;
}  // namespace syserr

// Registry value types.
inline constexpr std::uint32_t REG_NONE = 0;
inline constexpr std::uint32_t REG_SZ = 1;
inline constexpr std::uint32_t REG_EXPAND_SZ = 2;
inline constexpr std::uint32_t REG_BINARY = 3;
inline constexpr std::uint32_t REG_DWORD = 4;

inline constexpr std::uint32_t KEY_READ = 0x20019;
inline constexpr std::uint32_t KEY_ALL_ACCESS = 0xF003F;

using RegKey = std::uint64_t;  // 0 is never a valid handle

class Registry {
 public:
  virtual ~Registry() = default;
  // Opens the key with full access, creating it and its parents when missing (an
  // existing key is fine); *key receives a new handle on success.
  virtual long CreateKey(Hive hive, const std::string& path, RegKey* key) = 0;
  // Opens an existing key with access (KEY_READ or KEY_ALL_ACCESS); *key receives
  // a new handle on success. kFileNotFound when the key does not exist.
  virtual long OpenKey(Hive hive, const std::string& path, std::uint32_t access, RegKey* key) = 0;
  // Releases the handle; kInvalidHandle when it is not open.
  virtual long CloseKey(RegKey key) = 0;
  // Creates or replaces the value (its name keeps the case given the first time);
  // data is kept byte for byte. Data of REG_SZ values is the text's UTF-16LE bytes,
  // no terminating NUL.
  virtual long SetValue(RegKey key, const std::string& name, std::uint32_t type,
                        const std::string& data) = 0;
  // kFileNotFound when the value does not exist. type and data may be null to ask
  // only for what is not null.
  virtual long QueryValue(RegKey key, const std::string& name, std::uint32_t* type,
                          std::string* data) = 0;
  // Removes the value; kFileNotFound when there is none.
  virtual long DeleteValue(RegKey key, const std::string& name) = 0;
  // Runs body with every other process's writes to this store held off, so a
  // read-modify-write inside it (the running number) is atomic across processes.
  // Nested calls join the outer one; what body wrote is kept also when it throws
  // (the exception is passed on). Raises ComError when the store cannot be held.
  virtual void Exclusive(const std::function<void()>& body) = 0;
};

// How every store compares key paths and value names: Unicode case folding, and
// ASCII folding for text that is not UTF-8.
std::string FoldRegistryName(const std::string& name);
// A key path's components, without empty ones ("\\A\\\\B\\" has "A" and "B").
std::vector<std::string> KeyPathComponents(const std::string& path);
// The first `count` components joined by "\\".
std::string JoinKeyPath(const std::vector<std::string>& parts, std::size_t count);

// UTF-8 <-> the UTF-16LE byte form REG_SZ data is stored in.
std::string Utf8ToUtf16Bytes(const std::string& utf8);
std::string Utf16BytesToUtf8(const std::string& bytes);

}  // namespace stow::platform
