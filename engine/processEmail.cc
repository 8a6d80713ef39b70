#include "engine/processEmail.h"

#include <algorithm>
#include <cctype>
#include <functional>
#include <map>
#include <memory>
#include <utility>
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

// An attachment written into the attachment folder under a working name: neither
// flushed nor under its own name yet.
struct WorkingFile {
  std::string path;
  std::int64_t size = -1;
  bool linked = false;     // a second name of a file of the same bytes
  bool rewritten = false;  // the first write failed: the first choice of name is not used
};

// Writes the attachment into folder under a working name, without flushing it, so
// that all files of a mail can be flushed together: 0, else the error number (its
// text in why) and nothing stays.
std::int32_t WriteWorkingFile(platform::FileSystemObject& fso, om::Attachment& attachment,
                              const std::string& folder, WorkingFile& file, std::string& why) {
  SweepAbandoned(fso, folder);
  std::string& partial = file.path;
  auto saveAsPartial = [&](bool portable) {
    return IgnoreErrors(
        [&] {
          partial = modFileSystem::JoinPath(folder, fso.NewWorkingFileName(folder, portable));
          attachment.SaveAsFileUnflushed(partial);
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
  if (failed != 0) {
    IgnoreErrors([&] {
      if (fso.FileExists(partial)) fso.DeleteFile(partial, true);
    });
    return failed;
  }
  file.size = ValueOr<std::int64_t>(-1, [&] { return fso.FileSize(partial); });
  std::string twin = LinkToSameFile(fso, folder, partial, file.size, plain);
  if (!twin.empty()) {
    IgnoreErrors([&] { fso.DeleteFile(partial, true); });
    partial = twin;
    file.linked = true;
  } else {
    // A later attachment of the same bytes, in this mail or another whose files are
    // flushed with these, becomes a second name of this file.
    NoteSavedFile(folder, partial, file.size);
  }
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

// Moves a flushed working file (a second name, too: the flush put its link count
// on disk) to the name a detach gives the attachment, never replacing a file:
// its full path, or "" (why says) when no name takes it, and then it is removed.
std::string PlaceWorkingFile(platform::FileSystemObject& fso, const std::shared_ptr<om::Item>& item,
                             const std::string& folder, const std::string& fileName,
                             const WorkingFile& file, std::string& why) {
  std::string placed = ValueOr(std::string(), [&]() -> std::string {
    std::string fullPath;
    bool skip = file.rewritten;
    std::int32_t result = ChooseName(item, fileName, nullptr, [&](const std::string& name) {
      if (std::exchange(skip, false) || name.empty() || name.size() > kMaxFileNameBytes)
        return errnum::kFail;
      fullPath = modFileSystem::JoinPath(folder, name);
      if (fso.FileExists(fullPath)) return errnum::kFileAlreadyExists;
      return IgnoreErrors([&] { fso.MoveNoReplace(file.path, fullPath); }, why);
    });
    return result == 0 ? fullPath : "";
  });
  if (placed.empty()) {
    IgnoreErrors([&] {
      if (fso.FileExists(file.path)) fso.DeleteFile(file.path, true);
    });
    return "";
  }
  NoteSavedFile(folder, placed, file.size, file.linked ? "" : file.path);
  return placed;
}

}  // namespace

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

}  // namespace

// One mail's detach from the writing of its attachments (under working names, not
// yet flushed) to its save: what the steps after the flush need. Its outcome is
// reported when it ends.
struct DetachWork {
  DetachWork(const std::shared_ptr<om::Item>& item, bool automatic, NamePreview* preview)
      : report("detach", item),
        item(item),
        automatic(automatic),
        preview(preview),
        written(FileSystem()) {
    report->dryRun = preview != nullptr;
  }

  OutcomeReport report;
  std::shared_ptr<om::Item> item;
  bool automatic;
  NamePreview* preview;
  std::shared_ptr<platform::SafeItem> safeItem;
  std::shared_ptr<om::Attachments> attachments;
  std::string target, body;
  std::int32_t location = 0;  // where the block of links goes
  cProcessedAttachments records;
  LinkSettings linkSettings;
  LinkLists lists;
  std::vector<std::shared_ptr<om::Attachment>> detached;
  WrittenFiles written;
  struct Pending {
    std::shared_ptr<om::Attachment> attachment;
    AttachmentFate fate;
    WorkingFile file;
  };
  std::vector<Pending> pending;
  // The attachments' bytes this mail holds while it waits (a store may keep the
  // whole message in memory).
  std::int64_t bytes = 0;
  bool done = false;  // left as it was before anything was written: only to report

  std::int64_t AttachmentCount() const { return attachments ? attachments->Count() : 0; }

  // A saved attachment: recorded, and its link or image reference in the body.
  void Accept(const std::shared_ptr<om::Attachment>& attachment, const AttachmentFate& fate,
              const std::string& fullPath, bool linked) {
    auto record = std::make_shared<cProcessedAttachment>();
    record->blnInlineImage = fate.inlineImage;
    record->AttachmentPath = fullPath;
    record->AttachmentName = RecordableName(fate.fileName);
    IgnoreErrors([&] { record->AttachmentSize = static_cast<std::int32_t>(attachment->Size()); });
    record->SavedSize = ValueOr<std::int64_t>(
        -1, [&] { return preview ? attachment->Size() : FileSystem().FileSize(fullPath); });
    // A path listed by an earlier detach whose file has gone names this file now.
    if (!records.Add(record)) Required(records.dicList).SetItem(fullPath, record);
    detached.push_back(attachment);
    report->saved.push_back({fullPath, fate.fileName, record->SavedSize, linked});
    if (!fate.contentId.empty()) {
      body = ReplaceAll(body, "cid:" + fate.contentId, HtmlEscape(FileUrl(fullPath)));
    } else {
      lists.AddEntries(fullPath, fate.fileName, linkSettings);
    }
  }

  void SaveFailed(const std::string& fileName, const std::string& why) {
    report.Fail(fileName, "cannot be saved into " + target + ": " + why);
    // The attachment stays in the mail; the user must learn where and why, once
    // per folder and reason (a full disk would fail every one after).
    if (!automatic) TellSaveFailure(fileName, target, why);
  }

  void KeepNothing(ItemOutcome::Left why, const std::string& reason) {
    written.RemoveAll();
    report->saved.clear();
    report.Leave(why, reason);
  }
};

namespace {

// The first steps of a detach: every check, then the attachments written under
// working names (a preview only plans their names). Marked done when the mail is
// done with already (left as it was, or an error).
std::unique_ptr<DetachWork> BeginDetach(const std::shared_ptr<om::Item>& item, bool automatic,
                                        const std::string& folder, bool customFolder,
                                        NamePreview* preview) {
  auto work = std::make_unique<DetachWork>(item, automatic, preview);
  DetachWork& w = *work;
  auto& report = w.report;
  bool begun = false;
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
    w.safeItem = modSafeItem::GetSafeItem(item);
    if (!w.safeItem) return;

    w.body = w.safeItem->HTMLBody();
    if (w.body.empty()) w.body = w.safeItem->Body();

    auto& settings = Required(modGlobal::objSettings);
    w.location = settings.AttachmentLocationOption;
    w.attachments = w.safeItem->Attachments();

    std::string& target = w.target;
    target = folder;
    if (target.empty()) {
      if (customFolder && !automatic) {
        if (w.AttachmentCount() == 0) {
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
    if (w.AttachmentCount() == 0) {
      report.Leave(ItemOutcome::Left::kNothingToDo, "it has no attachments");
      return;
    }

    // A second detach adds to the records of the first, so that every file saved
    // from this item can still be put back or deleted with it.
    std::string earlier =
        ToText(GetUserDefinedFieldValue(item, kRecordsProperty, FieldKind::kText, Value("")));
    if (!TrimBlanks(earlier).empty()) w.records.FromString(earlier);
    w.linkSettings = CurrentLinkSettings();

    bool saveAttempted = false;
    for (const auto& attachment : w.attachments->All()) {
      try {
        AttachmentFate fate = ClassifyAttachment(*attachment, settings);
        if (fate.kind == AttachmentFate::Kind::kToken) continue;
        if (fate.kind != AttachmentFate::Kind::kDetach) {
          report->kept.push_back({fate.fileName, fate.reason});
          if (!preview) w.bytes += ValueOr<std::int64_t>(0, [&] { return attachment->Size(); });
          continue;
        }
        if (preview) {
          std::string fullPath = PlanAttachmentPath(item, target, fate.fileName, *preview);
          if (fullPath.empty()) {
            report.Fail(fate.fileName, "no name it could be saved under in " + target);
          } else {
            w.Accept(attachment, fate, fullPath, false);
          }
          continue;
        }
        saveAttempted = true;
        WorkingFile file;
        std::string why;
        // A second try, as a save under another name would be: a failure can pass.
        if (WriteWorkingFile(fso, *attachment, target, file, why) != 0 &&
            (file.rewritten = true, WriteWorkingFile(fso, *attachment, target, file, why) != 0)) {
          w.SaveFailed(fate.fileName, why);
          continue;
        }
        w.written.Add(file.path);
        w.bytes += std::max<std::int64_t>(0, file.size);
        w.pending.push_back({attachment, fate, file});
      } catch (...) {
        if (!saveAttempted) throw;
      }
    }
    begun = true;
  });
  work->done = !begun;
  return work;
}

// Gives each flushed working file its own name; one whose flush failed (its
// flushFailures entry says why) is not used.
void PlaceFiles(DetachWork& w, const std::vector<std::string>& flushFailures) {
  Trap("mMain.ProcessEmail", [&] {
    auto& fso = FileSystem();
    for (std::size_t i = 0; i < w.pending.size(); ++i) {
      const auto& p = w.pending[i];
      // Its bytes may not be on disk, and a second flush would not say: the
      // attachment stays in the mail.
      if (!flushFailures[i].empty()) {
        IgnoreErrors([&] { fso.DeleteFile(p.file.path, true); });
        // "Disk full: <working name>": the reason is what the user can act on.
        std::string why = flushFailures[i], name = ": " + p.file.path;
        if (why.size() > name.size() &&
            why.compare(why.size() - name.size(), name.size(), name) == 0)
          why.resize(why.size() - name.size());
        w.SaveFailed(p.fate.fileName, why);
        continue;
      }
      try {
        std::string why;
        std::string fullPath =
            PlaceWorkingFile(fso, w.item, w.target, p.fate.fileName, p.file, why);
        if (fullPath.empty()) {
          w.SaveFailed(p.fate.fileName, why);
          continue;
        }
        w.written.Add(fullPath);
        w.Accept(p.attachment, p.fate, fullPath, p.file.linked);
      } catch (...) {
      }
    }
    w.pending.clear();
  });
}

// The last steps: the attachments taken out, the links and records put in, the mail
// saved; or, when that cannot be, the saved files removed again. folderFailure: the
// attachment folder could not be flushed (why).
void FinishDetach(DetachWork& w, const std::string& folderFailure) {
  auto& report = w.report;
  const auto& item = w.item;
  Trap("mMain.ProcessEmail", [&] {
    std::string linksText = BuildLinksText(w.lists, w.linkSettings, w.automatic);
    if (w.detached.empty() || linksText.empty()) {
      // Only inline images were saved, and such a detach leaves the mail as it is:
      // their files would link from nowhere.
      for (const auto& f : report->saved) report->kept.push_back({f.name, kInlineImageReason});
      w.KeepNothing(
          report->failed.empty() ? ItemOutcome::Left::kNothingToDo : ItemOutcome::Left::kFailed,
          report->failed.empty() ? "nothing in it is detached" : "nothing could be saved");
      return;
    }
    // A preview ends here: what follows changes the mail.
    if (w.preview) return;
    // The saved files' names must be on disk before the mail loses the attachments.
    // Without that the mail keeps them.
    if (!folderFailure.empty()) {
      if (!w.automatic)
        ShowMessage("Cannot flush the attachment folder " + w.target +
                        " (the attachments stay in the mail): " + folderFailure,
                    ui::vbCritical);
      w.KeepNothing(ItemOutcome::Left::kFailed,
                    "the attachment folder cannot be flushed: " + folderFailure);
      return;
    }

    // The attachments just saved, and only those: looking them up again by name and
    // size could take out a kept attachment that happens to match.
    for (const auto& attachment : w.detached) IgnoreErrors([&] { attachment->Delete(); });

    std::string newBody = PlaceLinkBlock(w.body, BuildLinkBlock(linksText), w.location);

    IgnoreErrors([&] { item->SetHTMLBody(newBody); });
    // The token goes into the same save as the detach: a second save would write the
    // whole message (and flush it) again only to add one byte.
    if (w.AttachmentCount() == 0) AddTokenAttachmentFile(w.safeItem, item, false);
    std::string recordText = w.records.ToString();
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
      w.KeepNothing(ItemOutcome::Left::kFailed,
                    "it cannot be saved" + (saveError.empty() ? "" : ": " + saveError));
      if (recordsStored && !w.automatic) {
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
    w.written.Keep();
    report->itemChanged = true;
  });
}

// Finishes detaches begun together, in the order they were begun. Every file they
// wrote is flushed at once (one journal commit for all, not one per file), then each
// takes its name, then each attachment folder is flushed once for all the names in
// it, and only then is any mail saved: each mail's own order (its files and their
// names on disk before it loses its attachments) is kept, while the flushes are
// shared.
void FinishTogether(std::vector<std::unique_ptr<DetachWork>> works) {
  auto& fso = FileSystem();
  std::vector<std::string> paths;
  for (const auto& w : works)
    for (const auto& p : w->pending) paths.push_back(p.file.path);
  std::vector<std::string> failures(paths.size());
  if (!paths.empty()) {
    std::string why;
    if (IgnoreErrors([&] { failures = fso.SyncFiles(paths); }, why) != 0 ||
        failures.size() != paths.size())
      failures.assign(paths.size(), why.empty() ? "the files cannot be flushed" : why);
  }
  auto next = failures.begin();
  for (auto& w : works) {
    if (w->done) continue;
    std::vector<std::string> own(next, next + static_cast<std::ptrdiff_t>(w->pending.size()));
    next += static_cast<std::ptrdiff_t>(w->pending.size());
    PlaceFiles(*w, own);
  }
  std::map<std::string, std::string> folderFailures;  // target -> why its flush failed
  for (const auto& w : works) {
    if (w->done || w->detached.empty() || folderFailures.count(w->target)) continue;
    std::string failure;
    IgnoreErrors([&] { fso.SyncFolder(w->target); }, failure);
    folderFailures[w->target] = failure;
  }
  for (auto& w : works) {
    if (!w->done) FinishDetach(*w, folderFailures[w->target]);
    w.reset();  // its outcome is reported now, in order
  }
}

}  // namespace

// The detaches of the batch that lives now, begun and not yet finished.
struct DetachBatch::Open {
  std::vector<std::unique_ptr<DetachWork>> works;
  std::int64_t bytes = 0;
};

DetachBatch* DetachBatch::current_ = nullptr;

DetachBatch::DetachBatch() : open_(std::make_unique<Open>()) {
  if (!current_) current_ = this;
}

DetachBatch::~DetachBatch() {
  Finish();
  if (current_ == this) current_ = nullptr;
}

void DetachBatch::Finish() {
  // Taken out first: a message box shown while they finish runs the message loop,
  // and a detach begun from there starts a group of its own.
  std::vector<std::unique_ptr<DetachWork>> works;
  works.swap(open_->works);
  open_->bytes = 0;
  if (!works.empty()) FinishTogether(std::move(works));
}

void ProcessEmail(const std::shared_ptr<om::Item>& item, bool automatic, const std::string& folder,
                  bool customFolder) {
  auto work = BeginDetach(item, automatic, folder, customFolder, nullptr);
  // A monitor's detach of new mail is finished at once: nothing else is waiting. In
  // a batch even a mail left as it was waits, so that outcomes come in order.
  if (DetachBatch* batch = DetachBatch::current_; batch && !automatic) {
    batch->open_->bytes += work->bytes;
    batch->open_->works.push_back(std::move(work));
    // Each mail waiting holds its message in memory; a few are enough to share the
    // flushes among many.
    if (batch->open_->works.size() >= DetachBatch::kMails ||
        batch->open_->bytes >= DetachBatch::kBytes)
      batch->Finish();
    return;
  }
  std::vector<std::unique_ptr<DetachWork>> one;
  one.push_back(std::move(work));
  FinishTogether(std::move(one));
}

void PreviewProcessEmail(const std::shared_ptr<om::Item>& item, NamePreview& preview) {
  auto work = BeginDetach(item, false, "", false, &preview);
  if (!work->done) FinishDetach(*work, "");
}

}  // namespace stow
