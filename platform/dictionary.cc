#include "platform/dictionary.h"

#include <glib.h>

#include <memory>

#include "platform/com_error.h"
#include "platform/object_factory.h"

namespace stow::platform {

namespace {

constexpr const char* kSource = "Scripting.Dictionary";

std::string AsciiLower(const std::string& s) {
  std::string out = s;
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

}  // namespace

std::string Dictionary::FoldKey(const std::string& key, int mode) {
  if (mode != kTextCompare) return key;
  // Text that is not valid UTF-8 cannot be folded by GLib; fall back to ASCII so
  // it still compares without regard to case rather than failing.
  if (!g_utf8_validate(key.data(), static_cast<gssize>(key.size()), nullptr) ||
      key.find('\0') != std::string::npos) {
    return AsciiLower(key);
  }
  gchar* decomposed =
      g_utf8_normalize(key.data(), static_cast<gssize>(key.size()), G_NORMALIZE_DEFAULT);
  if (decomposed == nullptr) return AsciiLower(key);
  gchar* folded = g_utf8_casefold(decomposed, -1);
  g_free(decomposed);
  // Folding may produce text that needs normalising again (e.g. final forms).
  gchar* composed = g_utf8_normalize(folded, -1, G_NORMALIZE_DEFAULT_COMPOSE);
  g_free(folded);
  if (composed == nullptr) return AsciiLower(key);
  std::string out(composed);
  g_free(composed);
  return out;
}

void Dictionary::SetCompareMode(int mode) {
  if (mode != kBinaryCompare && mode != kTextCompare) {
    Raise(errnum::kInvalidProcedureCall, kSource, "Invalid procedure call or argument");
  }
  if (!entries_.empty() && mode != compareMode_) {
    Raise(errnum::kInvalidProcedureCall, kSource, "Invalid procedure call or argument");
  }
  compareMode_ = mode;
}

void Dictionary::Add(const std::string& key, DictItem item) {
  std::string folded = Fold(key);
  if (index_.count(folded) != 0) {
    Raise(errnum::kKeyAlreadyInCollection, kSource,
          "This key is already associated with an element of this collection");
  }
  entries_.push_back(Entry{key, std::move(item)});
  index_.emplace(std::move(folded), std::prev(entries_.end()));
}

bool Dictionary::Exists(const std::string& key) const {
  return index_.count(Fold(key)) != 0;
}

const DictItem& Dictionary::Item(const std::string& key) const {
  auto it = index_.find(Fold(key));
  if (it == index_.end()) {
    Raise(errnum::kInvalidProcedureCall, kSource, "Invalid procedure call or argument");
  }
  return it->second->item;
}

const std::string& Dictionary::StoredKey(const std::string& key) const {
  auto it = index_.find(Fold(key));
  if (it == index_.end()) {
    Raise(errnum::kInvalidProcedureCall, kSource, "Invalid procedure call or argument");
  }
  return it->second->key;
}

void Dictionary::SetItem(const std::string& key, DictItem item) {
  auto it = index_.find(Fold(key));
  if (it != index_.end()) {
    it->second->item = std::move(item);
    return;
  }
  Add(key, std::move(item));
}

void Dictionary::Remove(const std::string& key) {
  auto it = index_.find(Fold(key));
  if (it == index_.end()) Raise(32811, kSource, "Element not found");
  entries_.erase(it->second);
  index_.erase(it);
}

void Dictionary::RemoveAll() {
  index_.clear();
  entries_.clear();
}

std::vector<std::string> Dictionary::Keys() const {
  std::vector<std::string> keys;
  keys.reserve(entries_.size());
  for (const Entry& e : entries_) keys.push_back(e.key);
  return keys;
}

std::vector<DictItem> Dictionary::Items() const {
  std::vector<DictItem> items;
  items.reserve(entries_.size());
  for (const Entry& e : entries_) items.push_back(e.item);
  return items;
}

void RegisterDictionary(ObjectFactory& factory) {
  factory.Register("Scripting.Dictionary", [] { return std::make_shared<Dictionary>(); });
}

}  // namespace stow::platform
