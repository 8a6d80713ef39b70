#pragma once
// The language's Collection: shared objects in insertion order, each with an
// optional text key compared without regard to case (Unicode case folding, as the
// dictionary's text mode). Indexes are 1-based.

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/com_error.h"
#include "platform/dictionary.h"

namespace stow::platform {

template <class T>
class KeyedCollection {
 public:
  using Ptr = std::shared_ptr<T>;

  // Raises 457 when the key is already used by another member.
  void Add(Ptr item, std::optional<std::string> key = std::nullopt) {
    std::optional<std::string> folded;
    if (key) {
      folded = Fold(*key);
      if (Find(*folded) != members_.size()) {
        Raise(errnum::kKeyAlreadyInCollection, "Collection",
              "This key is already associated with an element of this collection");
      }
    }
    members_.push_back(Member{std::move(item), std::move(key), std::move(folded)});
  }

  bool Contains(const std::string& key) const { return Find(Fold(key)) != members_.size(); }

  // Raises 5 when no member has the key.
  const Ptr& Item(const std::string& key) const { return members_[IndexOf(key)].item; }
  // Raises 9 when the index is outside 1..Count.
  const Ptr& Item(int index) const { return members_[Position(index)].item; }

  // Raises 5 when no member has the key.
  void Remove(const std::string& key) {
    members_.erase(members_.begin() + static_cast<std::ptrdiff_t>(IndexOf(key)));
  }
  // Raises 9 when the index is outside 1..Count.
  void Remove(int index) {
    members_.erase(members_.begin() + static_cast<std::ptrdiff_t>(Position(index)));
  }
  void Clear() { members_.clear(); }

  int Count() const { return static_cast<int>(members_.size()); }
  bool Empty() const { return members_.empty(); }

 private:
  // Declared before the iterator that names it: clang looks the name up there.
  struct Member {
    Ptr item;
    std::optional<std::string> key;
    std::optional<std::string> folded;
  };

 public:
  // Iteration yields the members (shared pointers) in insertion order.
  class const_iterator {
   public:
    using Inner = typename std::vector<typename KeyedCollection::Member>::const_iterator;
    explicit const_iterator(Inner it) : it_(it) {}
    const Ptr& operator*() const { return it_->item; }
    const_iterator& operator++() {
      ++it_;
      return *this;
    }
    bool operator==(const const_iterator& o) const { return it_ == o.it_; }
    bool operator!=(const const_iterator& o) const { return it_ != o.it_; }

   private:
    Inner it_;
  };
  const_iterator begin() const { return const_iterator(members_.begin()); }
  const_iterator end() const { return const_iterator(members_.end()); }

 private:
  static std::string Fold(const std::string& key) {
    return Dictionary::FoldKey(key, Dictionary::kTextCompare);
  }
  std::size_t Find(const std::string& folded) const {
    for (std::size_t i = 0; i < members_.size(); ++i) {
      if (members_[i].folded && *members_[i].folded == folded) return i;
    }
    return members_.size();
  }
  std::size_t IndexOf(const std::string& key) const {
    std::size_t i = Find(Fold(key));
    if (i == members_.size()) {
      Raise(errnum::kInvalidProcedureCall, "Collection", "Invalid procedure call or argument");
    }
    return i;
  }
  std::size_t Position(int index) const {
    if (index < 1 || static_cast<std::size_t>(index) > members_.size()) {
      Raise(errnum::kSubscriptOutOfRange, "Collection", "Subscript out of range");
    }
    return static_cast<std::size_t>(index - 1);
  }

  std::vector<Member> members_;
};

}  // namespace stow::platform
