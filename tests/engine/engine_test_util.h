#pragma once
// Small readers over the items and files the engine tests look at.

#include <memory>
#include <string>
#include <vector>

#include "engine/processEmail.h"
#include "engine/userProperties.h"
#include "platform/object_model.h"
#include "platform/value.h"

namespace stow::testing {

inline std::vector<std::string> AttachmentNames(const std::shared_ptr<om::Item>& item) {
  std::vector<std::string> names;
  for (const auto& a : item->Attachments()->All()) names.push_back(a->FileName());
  return names;
}

inline std::shared_ptr<om::Attachment> AttachmentNamed(const std::shared_ptr<om::Item>& item,
                                                       const std::string& name) {
  for (const auto& a : item->Attachments()->All()) {
    if (a->FileName() == name) return a;
  }
  return nullptr;
}

inline std::string RecordsOf(const std::shared_ptr<om::Item>& item) {
  return ToText(GetUserDefinedFieldValue(item, kRecordsProperty, FieldKind::kText, Value("")));
}

inline std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  if (text.empty()) return lines;
  std::size_t start = 0;
  while (true) {
    std::size_t at = text.find("\r\n", start);
    lines.push_back(text.substr(start, at == std::string::npos ? std::string::npos : at - start));
    if (at == std::string::npos) return lines;
    start = at + 2;
  }
}

inline std::size_t Occurrences(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

}  // namespace stow::testing
