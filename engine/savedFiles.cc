#include "engine/savedFiles.h"

#include "engine/cProcessedAttachments.h"
#include "engine/outcome.h"
#include "engine/processEmail.h"
#include "engine/reattach.h"
#include "engine/userProperties.h"
#include "platform/com_error.h"
#include "support/modErroHandling.h"
#include "support/modFileSystem.h"
#include "support/modGlobal.h"
#include "support/modSafeItem.h"

namespace stow {

std::string LocateSavedFile(platform::FileSystemObject& fso, const cProcessedAttachment& record,
                            bool& fromTrash) {
  fromTrash = false;
  if (ValueOr(false, [&] { return fso.FileExists(record.AttachmentPath); }))
    return record.AttachmentPath;
  std::string trashed = ValueOr(
      std::string(), [&] { return fso.FindInTrash(record.AttachmentPath, record.SavedSize); });
  fromTrash = !trashed.empty();
  return trashed;
}

NamedFile::NamedFile(platform::FileSystemObject& fso, const std::string& source,
                     const std::string& attachmentName)
    : fso_(fso), path_(source) {
  // A link holds its target as text: a relative one would be read from the working
  // folder, not from where the file is.
  if (source.empty() || source[0] != modFileSystem::kPathSeparator) return;
  std::string link = TempCopyPath(attachmentName);
  if (link.empty()) return;
  std::string name = link.substr(link.rfind(modFileSystem::kPathSeparator) + 1);
  if (source.substr(source.rfind(modFileSystem::kPathSeparator) + 1) == name) return;
  // A name already taken in the working folder (the token, a link still in use)
  // gets a private folder of its own rather than the file there.
  if (IgnoreErrors([&] { fso.LinkFile(source, link); }) != 0) {
    link.clear();
    IgnoreErrors([&] {
      std::string own =
          modFileSystem::JoinPath(fso.CreatePrivateFolder(modFileSystem::TemporaryPath()), name);
      fso.LinkFile(source, own);
      link = own;
    });
  }
  if (link.empty()) return;
  link_ = link;
  path_ = link;
}

NamedFile::~NamedFile() {
  if (!link_.empty()) IgnoreErrors([&] { fso_.DeleteFile(link_, true); });
}

std::string TrashSavedFile(platform::FileSystemObject& fso, const std::string& path) {
  std::string why;
  if (IgnoreErrors([&] { fso.TrashFile(path); }, why) == 0) return "";
  return why.empty() ? "it cannot be moved to the trash" : why;
}

bool HoldsRecordSeparator(const std::string& text) {
  return text.find_first_of("\t\r\n") != std::string::npos;
}

std::vector<LinkedFile> LinkedFilesOf(const cProcessedAttachments& records) {
  std::vector<LinkedFile> files;
  for (const auto& r : records.Records())
    if (!r->blnInlineImage) files.push_back({r->AttachmentPath, r->AttachmentName});
  return files;
}

namespace {

platform::FileSystemObject& FileSystem() {
  modFileSystem::InitializeFileSystem();
  return Required(modGlobal::objFSO);
}

// The item's records; false (and the outcome says why) when it has none.
bool ReadRecords(const std::shared_ptr<om::Item>& item, cProcessedAttachments& records,
                 OutcomeReport& report) {
  std::string text =
      ToText(GetUserDefinedFieldValue(item, kRecordsProperty, FieldKind::kText, Value("")));
  if (text.find_first_not_of(' ') != std::string::npos) records.FromString(text);
  if (records.Count() > 0) return true;
  report.Leave(ItemOutcome::Left::kNothingToDo, "it has no saved files");
  return false;
}

}  // namespace

void VerifySavedFiles(const std::shared_ptr<om::Item>& item) {
  OutcomeReport report("verify", item);
  Trap("mMain.VerifySavedFiles", [&] {
    cProcessedAttachments records;
    if (!ReadRecords(item, records, report)) return;
    auto& fso = FileSystem();
    for (const auto& r : records.Records()) {
      ItemOutcome::Checked c;
      c.path = r->AttachmentPath;
      c.name = r->AttachmentName;
      c.recordedBytes = r->SavedSize;
      if (ValueOr(false, [&] { return fso.FileExists(c.path); })) {
        c.actualBytes = ValueOr<std::int64_t>(-1, [&] { return fso.FileSize(c.path); });
        if (c.recordedBytes >= 0 && c.actualBytes != c.recordedBytes)
          c.state = ItemOutcome::Checked::State::kSizeDiffers;
      } else {
        c.state = ItemOutcome::Checked::State::kMissing;
        c.inTrash =
            ValueOr(std::string(), [&] { return fso.FindInTrash(c.path, c.recordedBytes); });
      }
      report->checked.push_back(c);
    }
  });
}

void RelinkSavedFiles(const std::shared_ptr<om::Item>& item, const std::string& oldDir,
                      const std::string& newDir) {
  OutcomeReport report("relink", item);
  Trap("mMain.RelinkSavedFiles", [&] {
    if (HoldsRecordSeparator(newDir)) {
      report.Leave(ItemOutcome::Left::kNoFolder,
                   "the new folder's path holds a tab or a line break");
      return;
    }
    cProcessedAttachments records;
    if (!ReadRecords(item, records, report)) return;
    auto& fso = FileSystem();
    std::string from =
        modFileSystem::StripTrailingSeparator(oldDir) + modFileSystem::kPathSeparator;
    std::string to = modFileSystem::StripTrailingSeparator(newDir);
    std::string body = ValueOr(std::string(), [&] { return item->HTMLBody(); });
    cProcessedAttachments relinked;
    for (const auto& r : records.Records()) {
      std::string path = r->AttachmentPath;
      if (path.rfind(from, 0) == 0) {
        std::string moved = modFileSystem::JoinPath(to, path.substr(from.size()));
        std::int64_t size = ValueOr<std::int64_t>(
            -1, [&] { return fso.FileExists(moved) ? fso.FileSize(moved) : -1; });
        if (size < 0) {
          report.Fail(path, "its file " + r->AttachmentName + " is not at " + moved);
        } else if (r->SavedSize >= 0 && size != r->SavedSize) {
          report.Fail(path, "the file at " + moved + " is " + std::to_string(size) +
                                " bytes, not the " + std::to_string(r->SavedSize) + " saved");
        } else if (!relinked.dicList || relinked.dicList->Exists(moved)) {
          report.Fail(path, "another record already names " + moved);
        } else {
          if (r->blnInlineImage) {
            auto from = BodyFormsOf(path), to = BodyFormsOf(moved);
            for (std::size_t i = 0; i < from.size(); ++i) body = ReplaceAll(body, from[i], to[i]);
          }
          report->relinked.push_back({path, moved});
          r->AttachmentPath = moved;
        }
      }
      relinked.Add(r);
    }
    if (report->relinked.empty()) {
      report.Leave(
          report->failed.empty() ? ItemOutcome::Left::kNothingToDo : ItemOutcome::Left::kFailed,
          "none of its saved files is recorded under " + oldDir + " and found moved");
      return;
    }
    body = RebuildLinkBlock(body, LinkedFilesOf(relinked), CurrentLinkSettings(),
                            HasLinkSections(body));
    SetUserDefinedFieldValue(item, kRecordsProperty, Value(relinked.ToString()), FieldKind::kText,
                             false);
    std::string why;
    if (IgnoreErrors([&] { item->SetHTMLBody(body); }, why) != 0 ||
        IgnoreErrors([&] { item->Save(); }, why) != 0) {
      report->relinked.clear();
      report.Fail("the item", "cannot be saved: " + why);
      return;
    }
    report->itemChanged = true;
  });
}

}  // namespace stow
