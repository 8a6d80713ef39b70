#include "engine/processEmail.h"

#include <cctype>
#include <functional>
#include <vector>

#include "engine/cProcessedAttachments.h"
#include "engine/linkBlock.h"
#include "engine/naming.h"
#include "engine/outcome.h"
#include "engine/savedFiles.h"
#include "engine/storedOnce.h"
#include "engine/userProperties.h"
#include "platform/com_error.h"
#include "platform/services.h"
#include "platform/ui.h"
#include "support/cSettings.h"
#include "support/modErroHandling.h"
#include "support/modFileSystem.h"
#include "support/modGlobal.h"
#include "support/modSafeItem.h"
#include "support/product.h"

namespace stow {

namespace {

// The longest file name (in bytes) the file systems of this platform accept.
constexpr std::size_t kMaxFileNameBytes = 255;
// Names tried per naming form before giving up on it; each try draws a new prefix.
constexpr int kMaxNameAttempts = 50;
// The token's content: the add-in's embedded one-byte resource.
constexpr const char* kTokenBytes = "i";

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

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

void ShowMessage(const std::string& text, int style) {
  if (auto* ui = platform::Platform().ui) {
    IgnoreErrors([&] { ui->MsgBox(text, style, product::kTitle); });
  }
}

// Removes, once per folder and process, the working files of writers that died
// before moving them into place.
void SweepAbandoned(platform::FileSystemObject& fso, const std::string& folder) {
  if (!modGlobal::colSweptFolders.insert(folder).second) return;
  fso.SweepAbandonedWorkingFiles(folder);
}

// Shows why an attachment could not be saved into folder, the first time a reason
// comes up for that folder in this process.
void TellSaveFailure(const std::string& fileName, const std::string& folder, std::string why) {
  // "Cannot write <hidden partial name>: No space left on device": the system's
  // reason is what the user can act on; the partial name means nothing to them.
  std::size_t colon = why.rfind(": ");
  if (colon != std::string::npos) why = why.substr(colon + 2);
  if (!modGlobal::colToldSaveFailures.insert({folder, why}).second) return;
  ShowMessage("Cannot save the attachment '" + fileName + "' into " + folder +
                  (why.empty() ? std::string() : ": " + why),
              ui::vbCritical);
}

// One attempt to save under name: 0 when saved, errnum::kFileAlreadyExists when the
// name is taken (by a file there already or one that appeared meanwhile), another
// error number (its text in why) when it cannot be saved under this name.
std::int32_t SaveExclusive(platform::FileSystemObject& fso, om::Attachment& attachment,
                           const std::string& folder, const std::string& name,
                           std::string& fullPath, std::string& why, bool& linked) {
  if (name.empty() || name.size() > kMaxFileNameBytes) return errnum::kFail;
  fullPath = modFileSystem::JoinPath(folder, name);
  if (fso.FileExists(fullPath)) return errnum::kFileAlreadyExists;
  SweepAbandoned(fso, folder);
  // The attachment is written under a working name and moved to its own only once
  // whole, so that no name in the folder ever shows half a file.
  std::string partial;
  auto saveAsPartial = [&](bool portable) {
    return IgnoreErrors(
        [&] {
          partial = modFileSystem::JoinPath(folder, fso.NewWorkingFileName(folder, portable));
          attachment.SaveAsFile(partial);
        },
        why);
  };
  auto& portableOnly = modGlobal::colPortableNameFolders;
  bool plain = portableOnly.count(folder) > 0;
  std::int32_t failed = saveAsPartial(plain);
  // A full disk or a refused folder fails a plain name too; anything else may be
  // the name itself.
  bool nameRefused = failed != 0 && failed != errnum::kDiskFull &&
                     failed != errnum::kPermissionDenied && failed != errnum::kAccessDenied &&
                     failed != errnum::kPathNotFound;
  if (nameRefused && !plain && saveAsPartial(true) == 0) {
    portableOnly.insert(folder);
    failed = 0;
  }
  std::int64_t size = -1;
  linked = false;
  if (failed == 0) {
    size = ValueOr<std::int64_t>(-1, [&] { return fso.FileSize(partial); });
    std::string twin = LinkToSameFile(fso, folder, partial, size, plain);
    if (!twin.empty()) {
      IgnoreErrors([&] { fso.DeleteFile(partial, true); });
      partial = twin;
      linked = true;
    }
    // For a second name this flush is what puts the file's new link count on disk.
    IgnoreErrors([&] { fso.SyncFile(partial); });
    failed = IgnoreErrors([&] { fso.MoveNoReplace(partial, fullPath); }, why);
  }
  if (failed != 0) {
    IgnoreErrors([&] {
      if (fso.FileExists(partial)) fso.DeleteFile(partial, true);
    });
    return failed;
  }
  NoteSavedFile(folder, fullPath, size);
  return 0;
}

}  // namespace

bool IsImageFile(const std::string& fileName) {
  std::string upper = Upper(fileName);
  for (const char* ext : {".BMP", ".PNG", ".GIF", ".JPG", ".JPEG"}) {
    std::string e = ext;
    if (upper.size() >= e.size() && upper.compare(upper.size() - e.size(), e.size(), e) == 0)
      return true;
  }
  return false;
}

bool IsProcessed(const std::shared_ptr<om::Item>& item) {
  if (!item) return false;
  return ValueOr(false, [&] { return Upper(item->BillingInformation()) == kProcessedMarker; });
}

namespace {

// Tries the names a detach gives an attachment until attempt takes one (returns 0):
// the first choice, then prefixed names while the name is taken, then the
// unreadable-name form when a name cannot be used at all. attempt returns
// errnum::kFileAlreadyExists for a taken name. The last result is returned.
std::int32_t ChooseName(const std::shared_ptr<om::Item>& item, const std::string& fileName,
                        NamePreview* preview,
                        const std::function<std::int32_t(const std::string& name)>& attempt) {
  auto name = [&](bool prefix, bool unreadable) {
    return GetAttachmentName(item, fileName, prefix, unreadable, preview);
  };
  std::int32_t result = attempt(name(false, false));
  for (int i = 0; result == errnum::kFileAlreadyExists && i < kMaxNameAttempts; ++i)
    result = attempt(name(true, false));
  if (result == 0) return 0;
  result = attempt(name(true, true));
  for (int i = 0; result == errnum::kFileAlreadyExists && i < kMaxNameAttempts; ++i)
    result = attempt(name(true, true));
  return result;
}

}  // namespace

std::string SaveAttachmentToFolder(const std::shared_ptr<om::Item>& item,
                                   const std::shared_ptr<om::Attachment>& attachment,
                                   const std::string& folder, const std::string& fileName,
                                   std::string* whyNot, bool* linkedOut) {
  if (!attachment) return "";
  std::string why;
  bool linked = false;
  std::string saved = ValueOr(std::string(), [&]() -> std::string {
    auto& fso = FileSystem();
    std::string fullPath;
    std::int32_t result = ChooseName(item, fileName, nullptr, [&](const std::string& name) {
      return SaveExclusive(fso, *attachment, folder, name, fullPath, why, linked);
    });
    return result == 0 ? fullPath : "";
  });
  if (whyNot) *whyNot = saved.empty() ? why : "";
  if (linkedOut) *linkedOut = !saved.empty() && linked;
  return saved;
}

std::string PlanAttachmentPath(const std::shared_ptr<om::Item>& item, const std::string& folder,
                               const std::string& fileName, NamePreview& preview) {
  return ValueOr(std::string(), [&]() -> std::string {
    auto& fso = FileSystem();
    std::string fullPath;
    std::int32_t result = ChooseName(item, fileName, &preview, [&](const std::string& name) {
      if (name.empty() || name.size() > kMaxFileNameBytes) return errnum::kFail;
      fullPath = modFileSystem::JoinPath(folder, name);
      // A name with a random number in it is another name when it is drawn.
      bool drawn = name.find(kRandomPlaceholder) != std::string::npos;
      bool taken = preview.planned.count(fullPath) > 0 || fso.FileExists(fullPath);
      return !drawn && taken ? errnum::kFileAlreadyExists : 0;
    });
    if (result != 0) return "";
    preview.planned.insert(fullPath);
    return fullPath;
  });
}

AttachmentFate ClassifyAttachment(om::Attachment& attachment, cSettings& settings) {
  AttachmentFate fate;
  fate.fileName = attachment.FileName();
  if (fate.fileName.find(kTokenFileName) != std::string::npos) {
    fate.kind = AttachmentFate::Kind::kToken;
    return fate;
  }
  std::string extension = GetExtensionName(fate.fileName, false);
  auto exempted = settings.AttachmentExtensions();
  if (exempted && exempted->Exists(extension)) {
    fate.kind = AttachmentFate::Kind::kExempted;
    fate.reason = "its extension ." + extension + " is exempted";
    return fate;
  }
  if (IsImageFile(fate.fileName)) {
    fate.contentId = TrimBlanks(
        ValueOr(std::string(), [&] { return ToText(attachment.Field(om::PR_ATTACH_CONTENT_ID)); }));
    fate.inlineImage = !fate.contentId.empty();
    if (fate.inlineImage && !settings.TreatInlineImagesAsAttachments) {
      fate.kind = AttachmentFate::Kind::kInlineKept;
      fate.reason = kInlineImageReason;
    }
  }
  return fate;
}

void DeleteAttachmentFromMail(const std::shared_ptr<platform::SafeItem>& safeItem,
                              const cProcessedAttachment& record) {
  Trap("mMain.DeleteAttachmentFromMail", [&] {
    auto attachments = Required(safeItem).Attachments();
    for (const auto& attachment : Required(attachments).All()) {
      if (attachment->FileName() == record.AttachmentName &&
          static_cast<std::int32_t>(attachment->Size()) == record.AttachmentSize) {
        attachment->Delete();
        return;
      }
    }
  });
}

void AddTokenAttachmentFile(const std::shared_ptr<platform::SafeItem>& safeItem,
                            const std::shared_ptr<om::Item>& item, bool save) {
  Trap("mMain.AddTokenAttachmentFile", [&] {
    auto& fso = FileSystem();
    std::string path = modFileSystem::JoinPath(modFileSystem::TemporaryPath(), kTokenFileName);
    auto isToken = [&] {
      return ValueOr(false,
                     [&] { return fso.FileExists(path) && fso.ReadFile(path) == kTokenBytes; });
    };
    if (!isToken()) {
      // Made only where nothing is: a file already there under the token's name (the
      // link of an attachment so named) is neither used nor replaced.
      if (IgnoreErrors([&] { fso.WriteNewFile(path, kTokenBytes); }) != 0) {
        IgnoreErrors([&] {
          std::string own = modFileSystem::JoinPath(
              fso.CreatePrivateFolder(modFileSystem::TemporaryPath()), kTokenFileName);
          fso.WriteNewFile(own, kTokenBytes);
          path = own;
        });
      }
    }
    if (!isToken()) return;
    auto attachment = Required(Required(safeItem).Attachments()).Add(path, kTokenFileName);
    Required(attachment).SetField(om::PR_ATTACHMENT_HIDDEN, Value(true));
    if (save) IgnoreErrors([&] { Required(item).Save(); });
  });
}

bool IsSignedOrEncrypted(const std::string& messageClass) {
  std::string upper = Upper(messageClass);
  return upper.find("IPM.NOTE.SMIME") != std::string::npos ||
         upper.find("IPM.NOTE.SECURE") != std::string::npos;
}

namespace {

// The files one detach wrote: removed again, unless the item that links to them
// was saved, on every way out (an early stop, an error).
class WrittenFiles {
 public:
  explicit WrittenFiles(platform::FileSystemObject& fso) : fso_(fso) {}
  ~WrittenFiles() { RemoveAll(); }
  void Add(const std::string& path) { paths_.push_back(path); }
  bool Empty() const { return paths_.empty(); }
  void Keep() { paths_.clear(); }
  // They are this call's own new files, linked from nowhere: deleting them loses
  // nothing (the attachments are still in the mail).
  void RemoveAll() {
    for (const std::string& path : paths_) IgnoreErrors([&] { fso_.DeleteFile(path, true); });
    paths_.clear();
  }

 private:
  platform::FileSystemObject& fso_;
  std::vector<std::string> paths_;
};

std::string FolderMessage(int folderOption, const std::shared_ptr<om::Folder>& parent) {
  if (folderOption != 0)
    return "You have not specified the attachment file folder to store the detached files yet!";
  std::string name = "this Outlook";
  IgnoreErrors([&] { name = "'" + parent->Name() + "'"; });
  return "You have not specified an attachment file folder for " + name +
         " folder yet!\r\n\r\nClick the button 'Specify Attachment Folder...' to set one and then "
         "continue.";
}

// A sender chooses attachment names: a TAB or line break in one must not split the
// record it is kept in.
std::string RecordableName(std::string name) {
  for (char& c : name)
    if (c == '\t' || c == '\r' || c == '\n') c = ' ';
  return name;
}

// ProcessEmail, or with a preview its look-ahead: every step up to the first
// change, the saves only planned.
void Detach(const std::shared_ptr<om::Item>& item, bool automatic, const std::string& folder,
            bool customFolder, NamePreview* preview) {
  OutcomeReport report("detach", item);
  report->dryRun = preview != nullptr;
  Trap("mMain.ProcessEmail", [&] {
    if (!item) return;
    auto parent = ValueOr(std::shared_ptr<om::Folder>(), [&] { return item->Parent(); });
    std::string messageClass = ValueOr(std::string(), [&] { return item->MessageClass(); });
    std::string upperClass = Upper(messageClass);
    if (!parent || (upperClass.find("IPM.POST") == std::string::npos &&
                    upperClass.find("IPM.NOTE") == std::string::npos)) {
      report.Leave(ItemOutcome::Left::kNotMail, "it is not a mail or post item");
      return;
    }
    // Taking a part out of a signed or encrypted mail breaks its signature for good,
    // and its parts cannot be put back where they were.
    if (IsSignedOrEncrypted(messageClass)) {
      report.Leave(ItemOutcome::Left::kSignedOrEncrypted,
                   "it is signed or encrypted (" + messageClass + "): left as it is");
      return;
    }
    auto safeItem = modSafeItem::GetSafeItem(item);
    if (!safeItem) return;

    std::string body = safeItem->HTMLBody();
    if (body.empty()) body = safeItem->Body();

    auto& settings = Required(modGlobal::objSettings);
    auto attachments = safeItem->Attachments();
    auto attachmentCount = [&] { return attachments ? attachments->Count() : 0; };

    std::string target = folder;
    if (target.empty()) {
      if (customFolder && !automatic) {
        if (attachmentCount() == 0) {
          report.Leave(ItemOutcome::Left::kNothingToDo, "it has no attachments");
          return;
        }
        target = fncAskForFolderPath();
      } else {
        target = GetAttachmentFolderPathSetByUser(parent);
      }
    }
    auto& fso = FileSystem();
    if (RefuseUnrecordableFolder(target)) {
      report.Leave(ItemOutcome::Left::kNoFolder,
                   "the attachment folder's path holds a tab or "
                   "a line break");
      return;
    }
    if (target.empty() || !fso.FolderExists(target)) {
      if (!preview)
        ShowMessage(FolderMessage(settings.AttachmentFolderOption, parent), ui::vbCritical);
      report.Leave(ItemOutcome::Left::kNoFolder,
                   target.empty() ? "no attachment folder is set" : "no folder at " + target);
      return;
    }
    if (attachmentCount() == 0) {
      report.Leave(ItemOutcome::Left::kNothingToDo, "it has no attachments");
      return;
    }

    // A second detach adds to the records of the first, so that every file saved
    // from this item can still be put back or deleted with it.
    cProcessedAttachments records;
    std::string earlier =
        ToText(GetUserDefinedFieldValue(item, kRecordsProperty, FieldKind::kText, Value("")));
    if (!TrimBlanks(earlier).empty()) records.FromString(earlier);

    LinkSettings linkSettings = CurrentLinkSettings();
    LinkLists lists;
    std::vector<std::shared_ptr<om::Attachment>> detached;
    WrittenFiles written(fso);
    bool saveAttempted = false;

    for (const auto& attachment : attachments->All()) {
      try {
        AttachmentFate fate = ClassifyAttachment(*attachment, settings);
        if (fate.kind == AttachmentFate::Kind::kToken) continue;
        if (fate.kind != AttachmentFate::Kind::kDetach) {
          report->kept.push_back({fate.fileName, fate.reason});
          continue;
        }
        const std::string& fileName = fate.fileName;
        const std::string& contentId = fate.contentId;
        bool process = true;
        auto record = std::make_shared<cProcessedAttachment>();
        record->blnInlineImage = fate.inlineImage;
        std::string fullPath, why;
        bool linked = false;
        if (preview) {
          fullPath = PlanAttachmentPath(item, target, fileName, *preview);
          if (fullPath.empty()) {
            process = false;
            report.Fail(fileName, "no name it could be saved under in " + target);
          }
        } else {
          saveAttempted = true;
          fullPath = SaveAttachmentToFolder(item, attachment, target, fileName, &why, &linked);
          if (fullPath.empty()) {
            process = false;
            report.Fail(fileName, "cannot be saved into " + target + ": " + why);
            // The attachment stays in the mail; the user must learn where and why,
            // once per folder and reason (a full disk would fail every one after).
            if (!automatic) TellSaveFailure(fileName, target, why);
          }
        }
        if (!process) continue;
        if (!preview) written.Add(fullPath);
        record->AttachmentPath = fullPath;
        record->AttachmentName = RecordableName(fileName);
        IgnoreErrors(
            [&] { record->AttachmentSize = static_cast<std::int32_t>(attachment->Size()); });
        record->SavedSize = ValueOr<std::int64_t>(
            -1, [&] { return preview ? attachment->Size() : fso.FileSize(fullPath); });
        // A path listed by an earlier detach whose file has gone names this file now.
        if (!records.Add(record)) Required(records.dicList).SetItem(fullPath, record);
        detached.push_back(attachment);
        report->saved.push_back({fullPath, fileName, record->SavedSize, linked});
        if (!contentId.empty()) {
          body = ReplaceAll(body, "cid:" + contentId, HtmlEscape(FileUrl(fullPath)));
        } else {
          lists.AddEntries(fullPath, fileName, linkSettings);
        }
      } catch (...) {
        if (!saveAttempted) throw;
      }
    }
    auto keepNothing = [&](ItemOutcome::Left why, const std::string& reason) {
      written.RemoveAll();
      report->saved.clear();
      report.Leave(why, reason);
    };
    std::string linksText = BuildLinksText(lists, linkSettings, automatic);
    if (detached.empty() || linksText.empty()) {
      // Only inline images were saved, and such a detach leaves the mail as it is:
      // their files would link from nowhere.
      for (const auto& f : report->saved) report->kept.push_back({f.name, kInlineImageReason});
      keepNothing(
          report->failed.empty() ? ItemOutcome::Left::kNothingToDo : ItemOutcome::Left::kFailed,
          report->failed.empty() ? "nothing in it is detached" : "nothing could be saved");
      return;
    }
    // A preview ends here: what follows changes the mail.
    if (preview) return;
    // The saved files' names must be on disk before the mail loses the attachments:
    // one flush of the folder covers every file this call saved into it. Without it
    // the mail keeps them.
    std::string why;
    if (IgnoreErrors([&] { fso.SyncFolder(target); }, why) != 0) {
      if (!automatic)
        ShowMessage("Cannot flush the attachment folder " + target +
                        " (the attachments stay in the mail): " + why,
                    ui::vbCritical);
      keepNothing(ItemOutcome::Left::kFailed, "the attachment folder cannot be flushed: " + why);
      return;
    }

    // The attachments just saved, and only those: looking them up again by name and
    // size could take out a kept attachment that happens to match.
    for (const auto& attachment : detached) IgnoreErrors([&] { attachment->Delete(); });

    std::string newBody =
        PlaceLinkBlock(body, BuildLinkBlock(linksText), settings.AttachmentLocationOption);

    IgnoreErrors([&] { item->SetHTMLBody(newBody); });
    // The token goes into the same save as the detach: a second save would write the
    // whole message (and flush it) again only to add one byte.
    if (attachmentCount() == 0) AddTokenAttachmentFile(safeItem, item, false);
    std::string recordText = records.ToString();
    SetUserDefinedFieldValue(item, kRecordsProperty, Value(recordText), FieldKind::kText, false);
    bool recordsStored = ToText(GetUserDefinedFieldValue(item, kRecordsProperty, FieldKind::kText,
                                                         Value(""))) == recordText;
    std::string saveError;
    std::int32_t saveFailure = 0;
    bool saved = recordsStored &&
                 IgnoreErrors([&] { item->SetBillingInformation(kProcessedMarker); }) == 0 &&
                 (saveFailure = IgnoreErrors([&] { item->Save(); }, saveError)) == 0;
    if (!saved) {
      // The store kept the item as it was, attachments included: the copies written
      // by this call would only be orphans.
      keepNothing(ItemOutcome::Left::kFailed,
                  "it cannot be saved" + (saveError.empty() ? "" : ": " + saveError));
      if (recordsStored && !automatic) {
        // A refusal is what the usual text says; anything else (a full disk, a
        // message changed by another program) would be misreported by it.
        bool refused = saveFailure == 0 || saveFailure == errnum::kPermissionDenied ||
                       saveFailure == errnum::kAccessDenied || saveError.empty();
        ShowMessage(
            refused ? std::string("Not enough permission to save the selected item!")
                    : "Cannot save the selected item (its attachments stay in it): " + saveError,
            ui::vbCritical);
      }
      return;
    }
    written.Keep();
    report->itemChanged = true;
  });
}

}  // namespace

void ProcessEmail(const std::shared_ptr<om::Item>& item, bool automatic, const std::string& folder,
                  bool customFolder) {
  Detach(item, automatic, folder, customFolder, nullptr);
}

void PreviewProcessEmail(const std::shared_ptr<om::Item>& item, NamePreview& preview) {
  Detach(item, false, "", false, &preview);
}

}  // namespace stow
