#pragma once
// The settings store in memory, for tests. It keeps the contract of the SQLite store
// (key paths and value names found again in any case, empty path components ignored,
// KEY_READ handles cannot write, kFileNotFound for what is missing, kInvalidHandle for
// unknown handles) and lets a test make any operation fail with a system code it
// chooses, or plant a value of any type.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/registry.h"

namespace stow::mem {

class MemoryRegistry : public platform::Registry {
 public:
  // Exclusive: the lock cannot be had (raised before body runs). ExclusiveCommit: body
  // runs, then committing fails (raised after it; the memory keeps what body wrote).
  enum class Op {
    CreateKey,
    OpenKey,
    CloseKey,
    SetValue,
    QueryValue,
    DeleteValue,
    Exclusive,
    ExclusiveCommit
  };

  struct StoredValue {
    std::string name;  // as first written
    std::uint32_t type = platform::REG_SZ;
    std::string data;
  };

  long CreateKey(platform::Hive hive, const std::string& path, platform::RegKey* key) override;
  long OpenKey(platform::Hive hive, const std::string& path, std::uint32_t access,
               platform::RegKey* key) override;
  long CloseKey(platform::RegKey key) override;
  long SetValue(platform::RegKey key, const std::string& name, std::uint32_t type,
                const std::string& data) override;
  long QueryValue(platform::RegKey key, const std::string& name, std::uint32_t* type,
                  std::string* data) override;
  long DeleteValue(platform::RegKey key, const std::string& name) override;
  // One process: runs body at once (nested calls too). Counts the calls. Faults set
  // for Op::Exclusive or Op::ExclusiveCommit raise ComError 0x80070000 + code.
  void Exclusive(const std::function<void()>& body) override;

  // --- Fault injection -------------------------------------------------------------
  // Every later call of op returns code instead of doing its work. target narrows it:
  // the key path for CreateKey and OpenKey, the value name for SetValue, QueryValue and
  // DeleteValue (compared like the store compares them); empty means every call.
  // CloseKey faults still close the handle (the caller cannot retry a close).
  void FailOn(Op op, long code, const std::string& target = "");
  void ClearFaults();

  // --- Direct access for tests (no handles, no faults) -------------------------------
  // Stores a value of any type, creating the key and its parents.
  void SetRaw(platform::Hive hive, const std::string& path, const std::string& name,
              std::uint32_t type, const std::string& data);
  // Same for text: stored as REG_SZ, UTF-16LE without NUL.
  void SetText(platform::Hive hive, const std::string& path, const std::string& name,
               const std::string& utf8);
  std::optional<StoredValue> GetRaw(platform::Hive hive, const std::string& path,
                                    const std::string& name) const;
  // The text of a REG_SZ value; nullopt when absent or of another type.
  std::optional<std::string> GetText(platform::Hive hive, const std::string& path,
                                     const std::string& name) const;
  bool KeyExists(platform::Hive hive, const std::string& path) const;
  // Names of the values of a key, in the order they were first written.
  std::vector<std::string> ValueNames(platform::Hive hive, const std::string& path) const;
  std::size_t OpenHandleCount() const { return handles_.size(); }
  int ExclusiveCalls() const { return exclusiveCalls_; }
  int SetValueCalls() const { return setValueCalls_; }

 private:
  struct Key {
    std::string path;                           // as first created
    std::map<std::string, StoredValue> values;  // by folded name
    std::vector<std::string> order;             // folded names, first write first
  };
  struct Handle {
    platform::Hive hive;
    std::string key;  // folded, normalised
    std::uint32_t access;
  };
  struct Fault {
    Op op;
    long code;
    std::string target;  // folded, normalised; empty = all
  };

  using KeyId = std::pair<int, std::string>;
  static KeyId Id(platform::Hive hive, const std::string& path);
  Key& Make(platform::Hive hive, const std::string& path);
  std::optional<long> Injected(Op op, const std::string& target) const;
  const Handle* Find(platform::RegKey key) const;

  std::map<KeyId, Key> keys_;
  std::map<platform::RegKey, Handle> handles_;
  std::vector<Fault> faults_;
  platform::RegKey nextHandle_ = 1;
  int exclusiveCalls_ = 0;
  int setValueCalls_ = 0;
};

}  // namespace stow::mem
