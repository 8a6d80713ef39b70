#pragma once
// A list of distinct texts kept in insertion order (the monitored folders, the
// exempted extensions), stored in the settings as one text joined by a separator.
// Members are the keys of a text-compare dictionary, so two spellings that differ
// only in case are one member.

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "platform/dictionary.h"
#include "platform/forms.h"

namespace stow {

class cSingleList {
 public:
  // Replaces the members by the parts of text split at separator, each lower-cased;
  // empty and repeated parts are dropped. An empty text leaves the list empty.
  void SetString(const std::string& text, const std::string& separator);
  // The members joined by separator, trimmed of leading and trailing blanks.
  std::string GetString(const std::string& separator);
  // Replaces the members by the texts of the list view's items, as they are, in
  // order, without repeats.
  void FromListView(const ui::ListView& listView);

  // The members in insertion order.
  std::vector<std::string> Items();
  std::size_t Count();
  // Whether text is a member (compared without regard to case).
  bool Exists(const std::string& text);
  // Adds text at the end unless it is a member already.
  void Add(const std::string& text);
  void Clear();

 private:
  // The dictionary, created on first use; raises 91 when the runtime cannot make one.
  platform::Dictionary& Members();
  std::shared_ptr<platform::Dictionary> members_;
};

}  // namespace stow
