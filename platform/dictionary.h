#pragma once
// The scripting runtime's dictionary ("Scripting.Dictionary"): string keys in
// insertion order, compared byte for byte or, in text mode, without regard to case
// (Unicode case folding and normalisation, so "Résumé.pdf" and "RÉSUMÉ.PDF", and a
// decomposed and a composed spelling, are one key).

#include <cstddef>
#include <list>
#include <string>
#include <unordered_map>
#include <variant>
#include <vector>

#include "platform/com_object.h"
#include "platform/value.h"

namespace stow::platform {

class ObjectFactory;

using DictItem = std::variant<Value, ComPtr>;

class Dictionary : public ComObject {
 public:
  enum Compare : int { kBinaryCompare = 0, kTextCompare = 1 };

  int CompareMode() const { return compareMode_; }
  // Raises 5 when the dictionary already holds entries or the mode is unknown.
  void SetCompareMode(int mode);

  // Raises 457 "This key is already associated with an element of this collection".
  void Add(const std::string& key, DictItem item);
  bool Exists(const std::string& key) const;
  // Raises 5 when the key is absent (unlike the scripting runtime, reading never
  // adds an entry behind the caller's back).
  const DictItem& Item(const std::string& key) const;
  // Replaces the item of an existing key or adds a new entry at the end.
  void SetItem(const std::string& key, DictItem item);
  // The key as it was first added (text mode may find it under another spelling).
  // Raises 5 when absent.
  const std::string& StoredKey(const std::string& key) const;
  // Raises 32811 "Element not found" when absent.
  void Remove(const std::string& key);
  void RemoveAll();

  std::vector<std::string> Keys() const;
  std::vector<DictItem> Items() const;
  std::size_t Count() const { return entries_.size(); }

  // The comparison key of a text under a mode; exposed for other keyed lists.
  static std::string FoldKey(const std::string& key, int mode);

 private:
  struct Entry {
    std::string key;
    DictItem item;
  };
  using List = std::list<Entry>;

  std::string Fold(const std::string& key) const { return FoldKey(key, compareMode_); }

  int compareMode_ = kBinaryCompare;
  List entries_;
  std::unordered_map<std::string, List::iterator> index_;
};

// Registers "Scripting.Dictionary" with the factory.
void RegisterDictionary(ObjectFactory& factory);

}  // namespace stow::platform
