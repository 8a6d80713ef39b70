#include "engine/reattach.h"

#include <signal.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <set>
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

// A temporary copy is announced before it is made: a note
// ".stowbright-copy-<host>-<pid>-<n>" in the temporary folder names the copy, and
// goes only after the copy. A process killed in between leaves the note, and the
// next process that makes a copy removes what a writer that no longer runs left:
// the copy, the copy's own half-written file (".<name>.stow-<pid>-*.tmp") and the
// note. Notes of other hosts and of running processes are left alone.
constexpr const char* kCopyNotePrefix = ".stowbright-copy-";

// The writer of a copy note of this host, 0 when name is not one.
long CopyNoteWriter(const std::string& name) {
  std::string prefix = kCopyNotePrefix + modFileSystem::HostTag() + "-";
  if (name.rfind(prefix, 0) != 0) return 0;
  std::string rest = name.substr(prefix.size());
  std::size_t dash = rest.find('-');
  if (dash == 0 || dash == std::string::npos || dash > 9 || dash + 1 == rest.size()) return 0;
  if (rest.find_first_not_of("0123456789-") != std::string::npos ||
      rest.find('-', dash + 1) != std::string::npos)
    return 0;
  return std::stol(rest.substr(0, dash));
}

void SweepDeadCopies(platform::FileSystemObject& fso, const std::string& folder) {
  static std::set<std::string> swept;
  if (!swept.insert(folder).second) return;
  auto names = ValueOr(std::vector<std::string>(), [&] { return fso.ListFolder(folder); });
  for (const auto& note : names) {
    long pid = CopyNoteWriter(note);
    if (!modFileSystem::ProcessGone(pid)) continue;
    std::string notePath = modFileSystem::JoinPath(folder, note);
    std::string copy = ValueOr(std::string(), [&] { return fso.ReadFile(notePath); });
    std::string base = copy.substr(copy.rfind('/') + 1);
    // Only a copy in this folder: a note never leads anywhere else.
    if (!base.empty() && copy == modFileSystem::JoinPath(folder, base)) {
      IgnoreErrors([&] {
        if (fso.FileExists(copy)) fso.DeleteFile(copy, true);
      });
      std::string half = "." + base + ".stow-" + std::to_string(pid) + "-";
      for (const auto& name : names) {
        if (name.rfind(half, 0) == 0 && name.size() > 4 &&
            name.compare(name.size() - 4, 4, ".tmp") == 0)
          IgnoreErrors([&] { fso.DeleteFile(modFileSystem::JoinPath(folder, name), true); });
      }
    }
    IgnoreErrors([&] { fso.DeleteFile(notePath, true); });
  }
}

// A temporary copy and the note that announces it.
struct TempCopy {
  std::string path, note;
};

// Copies the saved file to the temporary folder under its attachment name. The
// copy's path is "" when there is no copy (the saved file is used instead).
TempCopy MakeTempCopy(platform::FileSystemObject& fso, const cProcessedAttachment& record) {
  static int serial = 0;
  std::string temp = TempCopyPath(record.AttachmentName);
  if (temp.empty()) return {};
  std::string folder = modFileSystem::TemporaryPath();
  SweepDeadCopies(fso, folder);
  std::string note = modFileSystem::JoinPath(folder, kCopyNotePrefix + modFileSystem::HostTag() +
                                                         "-" + std::to_string(getpid()) + "-" +
                                                         std::to_string(++serial));
  if (IgnoreErrors([&] { fso.WriteNewFile(note, temp); }) != 0) return {};
  IgnoreErrors([&] { fso.CopyFile(record.AttachmentPath, temp, true); });
  if (ValueOr(false, [&] { return fso.FileExists(temp); })) return {temp, note};
  IgnoreErrors([&] { fso.DeleteFile(note, true); });
  return {};
}

// Removes a copy, then its note.
void RemoveTempCopy(platform::FileSystemObject& fso, const TempCopy& copy) {
  if (copy.path.empty()) return;
  IgnoreErrors([&] { fso.DeleteFile(copy.path, true); });
  IgnoreErrors([&] { fso.DeleteFile(copy.note, true); });
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
  std::vector<TempCopy> tempCopies;
  auto removeTempCopies = [&] {
    if (tempCopies.empty()) return;
    auto fso = modGlobal::objFSO;
    for (const TempCopy& copy : tempCopies) {
      IgnoreErrors([&] { RemoveTempCopy(Required(fso), copy); });
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
        TempCopy temp = MakeTempCopy(fso, *record);
        if (!temp.path.empty()) tempCopies.push_back(temp);
        std::string file = temp.path.empty() ? record->AttachmentPath : temp.path;
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
          TempCopy temp = MakeTempCopy(fso, *record);
          std::string file = temp.path.empty() ? record->AttachmentPath : temp.path;
          IgnoreErrors([&] { AttachRecord(item, safeItem, *record, file, body); });
          // The saved file itself stays: the replied-to mail still links to it.
          RemoveTempCopy(fso, temp);
        });
      }
    }
    item->SetHTMLBody(body);
    IgnoreErrors([&] { item->SetBillingInformation(""); });
    IgnoreErrors([&] { item->Save(); });
  });
}

void SweepInterruptedCopies() {
  IgnoreErrors([&] {
    std::string folder = modFileSystem::TemporaryPath();
    if (!folder.empty()) SweepDeadCopies(FileSystem(), folder);
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
