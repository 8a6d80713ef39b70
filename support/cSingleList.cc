#include "support/cSingleList.h"

#include <glib.h>

#include "platform/com_error.h"
#include "support/modErroHandling.h"
#include "support/modFileSystem.h"

namespace stow {
namespace {

std::string Lower(const std::string& s) {
  if (!g_utf8_validate(s.data(), static_cast<gssize>(s.size()), nullptr)) {
    std::string out = s;
    for (char& c : out) c = g_ascii_tolower(c);
    return out;
  }
  gchar* lower = g_utf8_strdown(s.data(), static_cast<gssize>(s.size()));
  std::string out(lower);
  g_free(lower);
  return out;
}

std::string TrimBlanks(const std::string& s) {
  std::size_t first = s.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  return s.substr(first, s.find_last_not_of(' ') - first + 1);
}

}  // namespace

platform::Dictionary& cSingleList::Members() {
  if (!members_) members_ = modFileSystem::CreateDictionary();
  if (!members_) Raise(errnum::kObjectVariableNotSet, "cSingleList", "Object variable not set");
  return *members_;
}

void cSingleList::SetString(const std::string& text, const std::string& separator) {
  Trap("SingleList.SetString", [&] {
    platform::Dictionary& members = Members();
    members.RemoveAll();
    if (text.empty()) return;
    std::size_t start = 0;
    while (true) {
      std::size_t end = separator.empty() ? std::string::npos : text.find(separator, start);
      std::string part = Lower(text.substr(start, end == std::string::npos ? end : end - start));
      if (!part.empty() && !members.Exists(part)) members.Add(part, Value(part));
      if (end == std::string::npos) break;
      start = end + separator.size();
    }
  });
}

std::string cSingleList::GetString(const std::string& separator) {
  return Trap<std::string>("SingleList.GetString", "", [&] {
    std::string joined;
    bool first = true;
    for (const std::string& key : Members().Keys()) {
      if (!first) joined += separator;
      joined += key;
      first = false;
    }
    return TrimBlanks(joined);
  });
}

void cSingleList::FromListView(const ui::ListView& listView) {
  Trap("SingleList.FromListView", [&] {
    platform::Dictionary& members = Members();
    members.RemoveAll();
    for (const ui::ListItem& item : listView.ListItems)
      if (!members.Exists(item.Text)) members.Add(item.Text, Value(item.Text));
  });
}

std::vector<std::string> cSingleList::Items() {
  return ValueOr(std::vector<std::string>{}, [&] { return Members().Keys(); });
}

std::size_t cSingleList::Count() {
  return ValueOr(std::size_t{0}, [&] { return Members().Count(); });
}

bool cSingleList::Exists(const std::string& text) {
  return ValueOr(false, [&] { return Members().Exists(text); });
}

void cSingleList::Add(const std::string& text) {
  platform::Dictionary& members = Members();
  if (!members.Exists(text)) members.Add(text, Value(text));
}

void cSingleList::Clear() {
  if (members_) members_->RemoveAll();
}

}  // namespace stow
