#include "platform/maildir/part_restore.h"

namespace stow::maildir {

namespace {

// --- the text form: one netstring ("<length>:<bytes>,") per field ---

void Put(std::string& out, const std::string& field) {
  out += std::to_string(field.size()) + ":" + field + ",";
}

bool Take(const std::string& text, std::size_t& at, std::string& field) {
  std::size_t colon = text.find(':', at);
  if (colon == std::string::npos || colon == at || colon - at > 9) return false;
  for (std::size_t i = at; i < colon; ++i)
    if (text[i] < '0' || text[i] > '9') return false;
  std::size_t length = std::stoul(text.substr(at, colon - at));
  if (length > text.size() - colon - 1 || text.size() - colon - 1 - length < 1 ||
      text[colon + 1 + length] != ',')
    return false;
  field = text.substr(colon + 1, length);
  at = colon + 2 + length;
  return true;
}

bool TakeNumber(const std::string& text, std::size_t& at, std::int64_t& number) {
  std::string field;
  if (!Take(text, at, field) || field.empty() || field.size() > 18 ||
      field.find_first_not_of("0123456789") != std::string::npos)
    return false;
  number = std::stoll(field);
  return true;
}

}  // namespace

std::string RemovedPart::ToText() const {
  std::string out;
  Put(out, "1");
  Put(out, name);
  Put(out, std::to_string(size));
  Put(out, sha256);
  Put(out, headers);
  Put(out, encoding);
  Put(out, std::to_string(place.size()));
  for (const auto& level : place) {
    Put(out, level.boundary);
    Put(out, level.headers);
    Put(out, std::to_string(level.index));
  }
  return out;
}

std::optional<RemovedPart> RemovedPart::FromText(const std::string& text) {
  RemovedPart r;
  std::size_t at = 0;
  std::string version;
  std::int64_t levels = 0;
  if (!Take(text, at, version) || version != "1" || !Take(text, at, r.name) ||
      !TakeNumber(text, at, r.size) || !Take(text, at, r.sha256) || !Take(text, at, r.headers) ||
      !Take(text, at, r.encoding) || !TakeNumber(text, at, levels) || levels > 100)
    return std::nullopt;
  for (std::int64_t i = 0; i < levels; ++i) {
    Level level;
    std::int64_t index = 0;
    if (!Take(text, at, level.boundary) || !Take(text, at, level.headers) ||
        !TakeNumber(text, at, index) || index > 1000000)
      return std::nullopt;
    level.index = static_cast<int>(index);
    r.place.push_back(level);
  }
  if (at != text.size()) return std::nullopt;
  return r;
}

std::string PlainEdit::ToText() const {
  std::string out;
  Put(out, "1");
  Put(out, atStart ? "start" : "end");
  Put(out, inserted);
  Put(out, charset);
  Put(out, encoding);
  Put(out, madeAlternative ? "1" : "0");
  return out;
}

std::optional<PlainEdit> PlainEdit::FromText(const std::string& text) {
  PlainEdit e;
  std::size_t at = 0;
  std::string version, where, made;
  if (!Take(text, at, version) || version != "1" || !Take(text, at, where) ||
      (where != "start" && where != "end") || !Take(text, at, e.inserted) ||
      !Take(text, at, e.charset) || !Take(text, at, e.encoding) || !Take(text, at, made) ||
      (made != "0" && made != "1") || at != text.size())
    return std::nullopt;
  e.atStart = where == "start";
  e.madeAlternative = made == "1";
  return e;
}

std::string HiddenFile::ToText() const {
  std::string out;
  Put(out, "1");
  Put(out, name);
  Put(out, bytes);
  Put(out, contentId);
  return out;
}

std::optional<HiddenFile> HiddenFile::FromText(const std::string& text) {
  HiddenFile f;
  std::size_t at = 0;
  std::string version;
  if (!Take(text, at, version) || version != "1" || !Take(text, at, f.name) ||
      !Take(text, at, f.bytes) || !Take(text, at, f.contentId) || at != text.size())
    return std::nullopt;
  return f;
}

}  // namespace stow::maildir
