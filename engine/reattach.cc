#include "engine/reattach.h"

#include <vector>

#include "engine/cProcessedAttachments.h"
#include "engine/linkBlock.h"
#include "engine/naming.h"
#include "engine/processEmail.h"
#include "engine/userProperties.h"
#include "host/modGlobal.h"
#include "host/modSafeItem.h"
#include "platform/com_error.h"
#include "support/modErroHandling.h"
#include "support/modFileSystem.h"

namespace stow {

namespace {

constexpr std::size_t kMaxFileNameBytes = 255;

std::string TrimBlanks(const std::string& text) {
  std::size_t begin = text.find_first_not_of(' ');
  if (begin == std::string::npos) return "";
  std::size_t end = text.find_last_not_of(' ');
  return text.substr(begin, end - begin + 1);
}

platform::FileSystemObject& FileSystem() {
  modFileSystem::InitializeFileSystem();
  return Required(modGlobal::objFSO);
}

bool IsPlainFileName(const std::string& name) {
  if (name.empty() || name == "." || name == "..") return false;
  for (char c : name) {
    unsigned char u = static_cast<unsigned char>(c);
    if (c == '/' || c == '\\' || u < 0x20 || u == 0x7F) return false;
  }
  return true;
}

// Copies the saved file to the temporary folder under its attachment name. Returns
// the copy's path, or "" when there is no copy (the saved file is used instead).
std::string MakeTempCopy(platform::FileSystemObject& fso, const cProcessedAttachment& record) {
  std::string temp = TempCopyPath(record.AttachmentName);
  if (temp.empty()) return "";
  IgnoreErrors([&] { fso.CopyFile(record.AttachmentPath, temp, true); });
  return ValueOr(false, [&] { return fso.FileExists(temp); }) ? temp : "";
}

// Attaches file as the record's attachment; an inline image gets a new content id
// and the body's references to its saved path become "cid:" references again.
// Raises when an inline image cannot be added; false when another file could not.
bool AttachRecord(const std::shared_ptr<om::Item>& item,
                  const std::shared_ptr<platform::SafeItem>& safeItem,
                  const cProcessedAttachment& record, const std::string& file, std::string& body) {
  if (record.blnInlineImage) {
    auto attachment = Required(Required(safeItem).Attachments()).Add(file, record.AttachmentName);
    std::string contentId = std::to_string(GetRandomLong(11111111, 99999999));
    Required(attachment).SetField(om::PR_ATTACH_CONTENT_ID, Value(contentId));
    // Bodies written by this system carry the path escaped; older ones carry it as is.
    body = ReplaceAll(body, HtmlEscape(record.AttachmentPath), "cid:" + contentId);
    body = ReplaceAll(body, record.AttachmentPath, "cid:" + contentId);
    return true;
  }
  return IgnoreErrors(
             [&] { Required(Required(item).Attachments()).Add(file, record.AttachmentName); }) == 0;
}

std::string BodyOf(platform::SafeItem& safeItem) {
  std::string body = safeItem.HTMLBody();
  if (body.empty()) body = safeItem.Body();
  return body;
}

}  // namespace

std::string TempCopyPath(const std::string& attachmentName) {
  std::string name = IsPlainFileName(attachmentName) ? attachmentName
                                                     : modFileSystem::CleanFileName(attachmentName);
  if (!IsPlainFileName(name) || name.size() > kMaxFileNameBytes) return "";
  std::string folder = modFileSystem::TemporaryPath();
  if (folder.empty()) return "";
  return modFileSystem::JoinPath(folder, name);
}

void ReAttachFiles(const std::shared_ptr<om::Item>& item, bool batch, const std::string& records) {
  std::vector<std::string> tempCopies;
  auto removeTempCopies = [&] {
    if (tempCopies.empty()) return;
    auto fso = modGlobal::objFSO;
    for (const std::string& path : tempCopies) {
      IgnoreErrors([&] { Required(fso).DeleteFile(path, true); });
    }
    tempCopies.clear();
  };
  Trap("mMain.ReAttachFiles", [&] {
    std::string text = records;
    if (text.empty()) {
      text = ToText(GetUserDefinedFieldValue(item, kRecordsProperty, FieldKind::kText, Value("")));
    }
    auto safeItem = modSafeItem::GetSafeItem(item);
    std::string body = BodyOf(Required(safeItem));
    if (TrimBlanks(text).empty()) return;
    cProcessedAttachments list;
    list.FromString(text);
    if (list.Count() == 0) return;

    // Every block a detach wrote: a second detach of the item added a second one.
    body = RemoveAllAttachmentsLinks(body);

    auto& fso = FileSystem();
    int inlineImages = 0;
    std::vector<std::string> savedFiles;
    // Records whose file is still there but could not be attached: they keep their
    // file and stay listed, so that nothing is lost and a later re-attach can retry.
    cProcessedAttachments notAttached;
    try {
      for (const auto& record : list.Records()) {
        if (!fso.FileExists(record->AttachmentPath)) continue;
        std::string temp = MakeTempCopy(fso, *record);
        if (!temp.empty()) tempCopies.push_back(temp);
        std::string file = temp.empty() ? record->AttachmentPath : temp;
        if (record->blnInlineImage) ++inlineImages;
        if (AttachRecord(item, safeItem, *record, file, body)) {
          savedFiles.push_back(record->AttachmentPath);
        } else {
          notAttached.Add(record);
        }
      }
    } catch (...) {
      removeTempCopies();
      throw;
    }

    std::string remaining = notAttached.ToString();
    SetUserDefinedFieldValue(item, kRecordsProperty, Value(remaining), FieldKind::kText, false);
    IgnoreErrors([&] { item->SetHTMLBody(body); });
    IgnoreErrors([&] { item->SetBillingInformation(remaining.empty() ? "" : kProcessedMarker); });
    bool saved = IgnoreErrors([&] { item->Save(); }) == 0;
    removeTempCopies();
    // A saved file goes only once its attachment is safely back in the stored item.
    if (saved) {
      for (const std::string& path : savedFiles) {
        IgnoreErrors([&] { fso.DeleteFile(path, true); });
      }
    }
    if (!batch && inlineImages > 0) RefreshFolder();
  });
  removeTempCopies();
}

void subRemoveFilesLinks(const std::shared_ptr<om::Item>& item, const std::string& records,
                         bool removeBlock, bool attachFiles) {
  Trap("mMain.subRemoveFilesLinks", [&] {
    Required(item).Save();
    if (!removeBlock && !attachFiles) return;
    auto safeItem = modSafeItem::GetSafeItem(item);
    std::string body = BodyOf(Required(safeItem));
    if (TrimBlanks(body).empty()) body = item->HTMLBody();
    if (TrimBlanks(body).empty()) return;
    if (TrimBlanks(records).empty()) return;
    cProcessedAttachments list;
    list.FromString(records);
    if (list.Count() == 0) return;

    if (removeBlock) body = RemoveAllAttachmentsLinks(body);
    if (attachFiles) {
      auto& fso = FileSystem();
      for (const auto& record : list.Records()) {
        IgnoreErrors([&] {
          if (!fso.FileExists(record->AttachmentPath)) return;
          std::string temp = MakeTempCopy(fso, *record);
          std::string file = temp.empty() ? record->AttachmentPath : temp;
          IgnoreErrors([&] { AttachRecord(item, safeItem, *record, file, body); });
          // The saved file itself stays: the replied-to mail still links to it.
          if (!temp.empty()) IgnoreErrors([&] { fso.DeleteFile(temp, true); });
        });
      }
    }
    item->SetHTMLBody(body);
    IgnoreErrors([&] { item->SetBillingInformation(""); });
    IgnoreErrors([&] { item->Save(); });
  });
}

void RefreshFolder() {
  Trap("mMain.RefreshFolder", [&] {
    IgnoreErrors([&] {
      auto explorer = Required(modGlobal::objOutlook).ActiveExplorer();
      auto folder = Required(explorer).CurrentFolder();
      if (!folder) return;
      auto parent = ValueOr(std::shared_ptr<om::Folder>(), [&] { return folder->Parent(); });
      if (parent) explorer->SelectFolder(parent);
      explorer->SelectFolder(folder);
    });
  });
}

}  // namespace stow
