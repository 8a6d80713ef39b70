#include "platform/memory/memory_registry.h"

#include <glib.h>

#include <utility>

#include "platform/com_error.h"

namespace stow::mem {
namespace {

using platform::Hive;
using platform::RegKey;
namespace syserr = platform::syserr;

constexpr std::uint32_t kKeyQueryValue = 0x0001;
constexpr std::uint32_t kKeySetValue = 0x0002;

std::string Fold(const std::string& s) {
  return platform::FoldRegistryName(s);
}
std::vector<std::string> Components(const std::string& path) {
  return platform::KeyPathComponents(path);
}
std::string Join(const std::vector<std::string>& parts, std::size_t count) {
  return platform::JoinKeyPath(parts, count);
}

std::string NormalPath(const std::string& path) {
  auto parts = Components(path);
  return Join(parts, parts.size());
}

bool TargetsKey(MemoryRegistry::Op op) {
  return op == MemoryRegistry::Op::CreateKey || op == MemoryRegistry::Op::OpenKey;
}

}  // namespace

MemoryRegistry::KeyId MemoryRegistry::Id(Hive hive, const std::string& path) {
  return {static_cast<int>(hive), Fold(NormalPath(path))};
}

MemoryRegistry::Key& MemoryRegistry::Make(Hive hive, const std::string& path) {
  auto parts = Components(path);
  Key* made = nullptr;
  // The hive's root always exists.
  for (std::size_t n = 0; n <= parts.size(); ++n) {
    std::string display = Join(parts, n);
    auto [it, inserted] = keys_.try_emplace(KeyId{static_cast<int>(hive), Fold(display)});
    if (inserted) it->second.path = display;
    made = &it->second;
  }
  return *made;
}

std::optional<long> MemoryRegistry::Injected(Op op, const std::string& target) const {
  std::string folded = Fold(TargetsKey(op) ? NormalPath(target) : target);
  for (const Fault& f : faults_)
    if (f.op == op && (f.target.empty() || f.target == folded)) return f.code;
  return std::nullopt;
}

const MemoryRegistry::Handle* MemoryRegistry::Find(RegKey key) const {
  auto it = handles_.find(key);
  return it == handles_.end() ? nullptr : &it->second;
}

long MemoryRegistry::CreateKey(Hive hive, const std::string& path, RegKey* key) {
  if (!key) return syserr::kInvalidHandle;
  *key = 0;
  if (auto code = Injected(Op::CreateKey, path)) return *code;
  Make(hive, path);
  *key = nextHandle_++;
  handles_[*key] = Handle{hive, Id(hive, path).second, platform::KEY_ALL_ACCESS};
  return syserr::kSuccess;
}

long MemoryRegistry::OpenKey(Hive hive, const std::string& path, std::uint32_t access,
                             RegKey* key) {
  if (!key) return syserr::kInvalidHandle;
  *key = 0;
  if (auto code = Injected(Op::OpenKey, path)) return *code;
  KeyId id = Id(hive, path);
  if (!id.second.empty() && !keys_.count(id)) return syserr::kFileNotFound;
  *key = nextHandle_++;
  handles_[*key] = Handle{hive, id.second, access};
  return syserr::kSuccess;
}

long MemoryRegistry::CloseKey(RegKey key) {
  if (!handles_.erase(key)) return syserr::kInvalidHandle;
  if (auto code = Injected(Op::CloseKey, "")) return *code;
  return syserr::kSuccess;
}

long MemoryRegistry::SetValue(RegKey key, const std::string& name, std::uint32_t type,
                              const std::string& data) {
  ++setValueCalls_;
  const Handle* h = Find(key);
  if (!h) return syserr::kInvalidHandle;
  if (auto code = Injected(Op::SetValue, name)) return *code;
  if (!(h->access & kKeySetValue)) return syserr::kAccessDenied;
  Key& k = Make(h->hive, h->key);
  std::string folded = Fold(name);
  auto [it, inserted] = k.values.try_emplace(folded);
  if (inserted) {
    it->second.name = name;
    k.order.push_back(folded);
  }
  it->second.type = type;
  it->second.data = data;
  return syserr::kSuccess;
}

long MemoryRegistry::QueryValue(RegKey key, const std::string& name, std::uint32_t* type,
                                std::string* data) {
  const Handle* h = Find(key);
  if (!h) return syserr::kInvalidHandle;
  if (auto code = Injected(Op::QueryValue, name)) return *code;
  if (!(h->access & kKeyQueryValue)) return syserr::kAccessDenied;
  auto k = keys_.find(KeyId{static_cast<int>(h->hive), h->key});
  if (k == keys_.end()) return syserr::kFileNotFound;
  auto v = k->second.values.find(Fold(name));
  if (v == k->second.values.end()) return syserr::kFileNotFound;
  if (type) *type = v->second.type;
  if (data) *data = v->second.data;
  return syserr::kSuccess;
}

long MemoryRegistry::DeleteValue(RegKey key, const std::string& name) {
  const Handle* h = Find(key);
  if (!h) return syserr::kInvalidHandle;
  if (auto code = Injected(Op::DeleteValue, name)) return *code;
  if (!(h->access & kKeySetValue)) return syserr::kAccessDenied;
  auto k = keys_.find(KeyId{static_cast<int>(h->hive), h->key});
  if (k == keys_.end()) return syserr::kFileNotFound;
  std::string folded = Fold(name);
  if (!k->second.values.erase(folded)) return syserr::kFileNotFound;
  std::erase(k->second.order, folded);
  return syserr::kSuccess;
}

void MemoryRegistry::Exclusive(const std::function<void()>& body) {
  ++exclusiveCalls_;
  auto raise = [](long code) {
    throw ComError(static_cast<std::int32_t>(0x80070000u | static_cast<std::uint32_t>(code)),
                   "MemoryRegistry", "The settings store is not available");
  };
  if (auto code = Injected(Op::Exclusive, "")) raise(*code);
  body();
  if (auto code = Injected(Op::ExclusiveCommit, "")) raise(*code);
}

void MemoryRegistry::FailOn(Op op, long code, const std::string& target) {
  faults_.push_back(Fault{op, code, Fold(TargetsKey(op) ? NormalPath(target) : target)});
}

void MemoryRegistry::ClearFaults() {
  faults_.clear();
}

void MemoryRegistry::SetRaw(Hive hive, const std::string& path, const std::string& name,
                            std::uint32_t type, const std::string& data) {
  Key& k = Make(hive, path);
  std::string folded = Fold(name);
  auto [it, inserted] = k.values.try_emplace(folded);
  if (inserted) {
    it->second.name = name;
    k.order.push_back(folded);
  }
  it->second.type = type;
  it->second.data = data;
}

void MemoryRegistry::SetText(Hive hive, const std::string& path, const std::string& name,
                             const std::string& utf8) {
  SetRaw(hive, path, name, platform::REG_SZ, platform::Utf8ToUtf16Bytes(utf8));
}

std::optional<MemoryRegistry::StoredValue> MemoryRegistry::GetRaw(Hive hive,
                                                                  const std::string& path,
                                                                  const std::string& name) const {
  auto k = keys_.find(Id(hive, path));
  if (k == keys_.end()) return std::nullopt;
  auto v = k->second.values.find(Fold(name));
  if (v == k->second.values.end()) return std::nullopt;
  return v->second;
}

std::optional<std::string> MemoryRegistry::GetText(Hive hive, const std::string& path,
                                                   const std::string& name) const {
  auto v = GetRaw(hive, path, name);
  if (!v || v->type != platform::REG_SZ) return std::nullopt;
  return platform::Utf16BytesToUtf8(v->data);
}

bool MemoryRegistry::KeyExists(Hive hive, const std::string& path) const {
  KeyId id = Id(hive, path);
  return id.second.empty() || keys_.count(id);
}

std::vector<std::string> MemoryRegistry::ValueNames(Hive hive, const std::string& path) const {
  std::vector<std::string> names;
  auto k = keys_.find(Id(hive, path));
  if (k == keys_.end()) return names;
  for (const std::string& folded : k->second.order)
    names.push_back(k->second.values.at(folded).name);
  return names;
}

}  // namespace stow::mem
