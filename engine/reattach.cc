#include "engine/reattach.h"

#include <vector>

#include "engine/cProcessedAttachments.h"
#include "engine/linkBlock.h"
#include "engine/naming.h"
#include "engine/outcome.h"
#include "engine/processEmail.h"
#include "engine/savedFiles.h"
#include "engine/userProperties.h"
#include "platform/com_error.h"
#include "support/modErroHandling.h"
#include "support/modFileSystem.h"
#include "support/modGlobal.h"
#include "support/modSafeItem.h"

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

// Attaches file as the record's attachment; an inline image gets a new content id
// and the body's references to its saved path become "cid:" references again.
// Returns the new attachment; raises when it cannot be added.
std::shared_ptr<om::Attachment> AttachRecord(const std::shared_ptr<om::Item>& item,
                                             const std::shared_ptr<platform::SafeItem>& safeItem,
                                             const cProcessedAttachment& record,
                                             const std::string& file, std::string& body) {
  if (record.blnInlineImage) {
    auto attachment = Required(Required(safeItem).Attachments()).Add(file, record.AttachmentName);
    std::string contentId = std::to_string(GetRandomLong(11111111, 99999999));
    Required(attachment).SetField(om::PR_ATTACH_CONTENT_ID, Value(contentId));
    for (const std::string& form : BodyFormsOf(record.AttachmentPath))
      body = ReplaceAll(body, form, "cid:" + contentId);
    return attachment;
  }
  return Required(Required(item).Attachments()).Add(file, record.AttachmentName);
}

bool LinksTo(const std::string& body, const std::string& path) {
  for (const std::string& form : BodyFormsOf(path))
    if (body.find(form) != std::string::npos) return true;
  return false;
}

std::string BodyOf(platform::SafeItem& safeItem) {
  std::string body = safeItem.HTMLBody();
  if (body.empty()) body = safeItem.Body();
  return body;
}

// A record put back into the item, and what its file was when it was read.
struct PutBack {
  std::shared_ptr<cProcessedAttachment> record;
  std::string source;
  std::string stamp;
  bool fromTrash = false;
  std::shared_ptr<om::Attachment> attachment;
};

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
  OutcomeReport report("reattach", item);
  Trap("mMain.ReAttachFiles", [&] {
    std::string text = records;
    // An item that cannot be read (another program moved or rewrote it since it was
    // listed) has not been put back: that is a failure, not an item without records.
    std::shared_ptr<platform::SafeItem> safeItem;
    std::string body, why;
    if (IgnoreErrors(
            [&] {
              if (text.empty()) Required(Required(item).UserProperties()).Find(kRecordsProperty);
              safeItem = modSafeItem::GetSafeItem(item);
              body = BodyOf(Required(safeItem));
            },
            why) != 0) {
      report.Fail("the item", "cannot be read: " + why);
      return;
    }
    if (text.empty())
      text = ToText(GetUserDefinedFieldValue(item, kRecordsProperty, FieldKind::kText, Value("")));
    cProcessedAttachments list;
    if (!TrimBlanks(text).empty()) list.FromString(text);
    if (list.Count() == 0) {
      report.Leave(ItemOutcome::Left::kNothingToDo, "it has no saved files to put back");
      return;
    }
    bool sectioned = HasLinkSections(body);

    auto& fso = FileSystem();
    int inlineImages = 0;
    std::vector<PutBack> putBack;
    // What is not put back keeps its record and its link, so that nothing is lost
    // and a later re-attach (or relink) can finish the job.
    cProcessedAttachments kept;
    for (const auto& record : list.Records()) {
      PutBack p{record, "", "", false, nullptr};
      p.source = LocateSavedFile(fso, *record, p.fromTrash);
      if (p.source.empty()) {
        report.Fail(record->AttachmentPath, "the saved file of " + record->AttachmentName +
                                                " is missing (neither there nor in the trash)");
        kept.Add(record);
        continue;
      }
      std::string why;
      std::int32_t failed = IgnoreErrors(
          [&] {
            p.stamp = fso.FileStamp(p.source);
            NamedFile named(fso, p.source, record->AttachmentName);
            p.attachment = AttachRecord(item, safeItem, *record, named.path(), body);
          },
          why);
      if (failed != 0 || !p.attachment) {
        report.Fail(p.source, "cannot be attached: " + why);
        kept.Add(record);
        continue;
      }
      if (record->blnInlineImage) ++inlineImages;
      putBack.push_back(p);
    }
    if (putBack.empty()) {
      report.Leave(ItemOutcome::Left::kFailed, "none of its saved files could be put back");
      return;
    }

    std::string remaining = kept.ToString();
    body = RebuildLinkBlock(body, LinkedFilesOf(kept), CurrentLinkSettings(), sectioned);
    SetUserDefinedFieldValue(item, kRecordsProperty, Value(remaining), FieldKind::kText, false);
    IgnoreErrors([&] { item->SetHTMLBody(body); });
    IgnoreErrors([&] { item->SetBillingInformation(remaining.empty() ? "" : kProcessedMarker); });
    if (IgnoreErrors([&] { item->Save(); }, why) != 0) {
      report.Fail("the item", "cannot be saved, so every saved file stays: " + why);
      return;
    }
    report->itemChanged = true;
    // A saved file goes only once the stored item holds its bytes: the item was saved
    // with an attachment of the file's size, and the file has not changed since it
    // was read for it.
    // Every file is looked at before any goes: two records may name one file stored
    // once under two names, and moving one name to the trash changes the file's status.
    std::vector<bool> same;
    for (const PutBack& p : putBack)
      same.push_back(p.fromTrash ||
                     (ValueOr(std::string(), [&] { return fso.FileStamp(p.source); }) == p.stamp &&
                      ValueOr<std::int64_t>(-1, [&] { return p.attachment->Size(); }) ==
                          ValueOr<std::int64_t>(-2, [&] { return fso.FileSize(p.source); })));
    for (std::size_t i = 0; i < putBack.size(); ++i) {
      const PutBack& p = putBack[i];
      report->reattached.push_back({p.record->AttachmentName, p.source, p.fromTrash});
      if (p.fromTrash) continue;
      if (!same[i]) {
        report.Fail(p.source, "changed while it was put back; it stays where it is");
        continue;
      }
      std::string stays = TrashSavedFile(fso, p.source);
      if (stays.empty())
        report->trashed.push_back(p.source);
      else
        report.Fail(p.source, "stays where it is: " + stays);
    }
    if (!batch && inlineImages > 0) RefreshFolder();
  });
}

void subRemoveFilesLinks(const std::shared_ptr<om::Item>& item, const std::string& records,
                         bool removeBlock, bool attachFiles) {
  OutcomeReport report(attachFiles ? "attach-files" : "remove-links", item);
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

    std::vector<std::string> unlinked;
    if (removeBlock) {
      std::string before = body;
      body = RemoveAllAttachmentsLinks(body);
      for (const auto& record : list.Records())
        if (LinksTo(before, record->AttachmentPath) && !LinksTo(body, record->AttachmentPath))
          unlinked.push_back(record->AttachmentPath);
    }
    if (attachFiles) {
      auto& fso = FileSystem();
      for (const auto& record : list.Records()) {
        bool fromTrash = false;
        std::string source = LocateSavedFile(fso, *record, fromTrash);
        if (source.empty()) {
          report.Fail(record->AttachmentPath,
                      "the saved file of " + record->AttachmentName + " is missing");
          continue;
        }
        // The saved file itself stays: the replied-to mail still links to it.
        std::string why;
        if (IgnoreErrors(
                [&] {
                  NamedFile named(fso, source, record->AttachmentName);
                  AttachRecord(item, safeItem, *record, named.path(), body);
                },
                why) == 0)
          report->reattached.push_back({record->AttachmentName, source, fromTrash});
        else
          report.Fail(source, "cannot be attached: " + why);
      }
    }
    item->SetHTMLBody(body);
    IgnoreErrors([&] { item->SetBillingInformation(""); });
    report->itemChanged = IgnoreErrors([&] { item->Save(); }) == 0;
    if (report->itemChanged) report->unlinked = unlinked;
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
