#include "engine/cProcessedAttachments.h"

#include "platform/com_error.h"
#include "platform/value.h"
#include "support/modErroHandling.h"
#include "support/modFileSystem.h"

namespace stow {

namespace {

// Splits like the language's Split: the empty text gives no parts at all.
std::vector<std::string> Split(const std::string& text, const std::string& separator) {
  std::vector<std::string> parts;
  if (text.empty()) return parts;
  std::size_t start = 0;
  while (true) {
    std::size_t at = text.find(separator, start);
    if (at == std::string::npos) {
      parts.push_back(text.substr(start));
      return parts;
    }
    parts.push_back(text.substr(start, at - start));
    start = at + separator.size();
  }
}

std::string TrimBlanks(const std::string& text) {
  std::size_t begin = text.find_first_not_of(' ');
  if (begin == std::string::npos) return "";
  std::size_t end = text.find_last_not_of(' ');
  return text.substr(begin, end - begin + 1);
}

std::shared_ptr<cProcessedAttachment> RecordOf(const platform::DictItem& item) {
  if (auto* object = std::get_if<ComPtr>(&item)) return ComCast<cProcessedAttachment>(*object);
  return nullptr;
}

}  // namespace

cProcessedAttachments::cProcessedAttachments() : dicList(modFileSystem::CreateDictionary()) {
  // Keys name files, and two paths name one file on this system only when their bytes
  // are equal: "Report.pdf" and "report.pdf" are two saved files and need two records.
  if (dicList) IgnoreErrors([&] { dicList->SetCompareMode(platform::Dictionary::kBinaryCompare); });
}

cProcessedAttachments::~cProcessedAttachments() {
  if (dicList) IgnoreErrors([&] { dicList->RemoveAll(); });
  dicList.reset();
}

void cProcessedAttachments::FromString(const std::string& StringToParse) {
  Trap("cProcessedAttachments.SetString", [&] {
    auto& list = Required(dicList);
    bool firstLine = true;
    for (const std::string& line : Split(StringToParse, "\r\n")) {
      std::vector<std::string> fields = Split(line, "\t");
      if (firstLine && fields.size() < 2) {
        Raise(errnum::kSubscriptOutOfRange, "Stowbright", "Subscript out of range");
      }
      firstLine = false;
      auto record = std::make_shared<cProcessedAttachment>();
      if (fields.size() > 0) record->AttachmentPath = fields[0];
      if (fields.size() > 1) record->AttachmentName = fields[1];
      if (fields.size() > 2) {
        IgnoreErrors([&] { record->blnInlineImage = ToLong(Value(fields[2])) != 0; });
      }
      if (fields.size() > 3 && !fields[3].empty() &&
          fields[3].find_first_not_of("0123456789") == std::string::npos && fields[3].size() < 19)
        record->SavedSize = std::stoll(fields[3]);
      // A record without a path names no file: keeping it would make re-attaching
      // and deleting act on "" and write a blank line back into the item.
      if (record->AttachmentPath.empty()) continue;
      if (!list.Exists(record->AttachmentPath)) list.Add(record->AttachmentPath, record);
    }
  });
}

std::string cProcessedAttachments::ToString() const {
  return Trap<std::string>("cProcessedAttachments.ToString", "", [&] {
    auto& list = Required(dicList);
    std::string text;
    bool first = true;
    for (const platform::DictItem& item : list.Items()) {
      auto record = RecordOf(item);
      if (!record) continue;
      if (!first) text += "\r\n";
      first = false;
      text += record->AttachmentPath + "\t" + record->AttachmentName + "\t" +
              (record->blnInlineImage ? "-1" : "0");
      if (record->SavedSize >= 0) text += "\t" + std::to_string(record->SavedSize);
    }
    return TrimBlanks(text);
  });
}

bool cProcessedAttachments::Add(const std::shared_ptr<cProcessedAttachment>& record) {
  if (!dicList || !record || dicList->Exists(record->AttachmentPath)) return false;
  dicList->Add(record->AttachmentPath, record);
  return true;
}

std::vector<std::shared_ptr<cProcessedAttachment>> cProcessedAttachments::Records() const {
  std::vector<std::shared_ptr<cProcessedAttachment>> records;
  if (!dicList) return records;
  for (const platform::DictItem& item : dicList->Items()) {
    if (auto record = RecordOf(item)) records.push_back(std::move(record));
  }
  return records;
}

int cProcessedAttachments::Count() const {
  return dicList ? static_cast<int>(dicList->Count()) : 0;
}

}  // namespace stow
