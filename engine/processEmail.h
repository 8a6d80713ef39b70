#pragma once
// Detaching one item: its attachments saved as files, a block of links in their
// place, the records and the processed marker written, the item saved.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "engine/cProcessedAttachment.h"
#include "engine/naming.h"
#include "platform/object_model.h"
#include "platform/safe_item.h"

namespace stow {

class cSettings;

inline constexpr const char* kProcessedMarker = "KZO_PROCESSED_ITEM";
inline constexpr const char* kRecordsProperty = "QLXProcessedAttachments";
inline constexpr const char* kTokenFileName = "SYS_TOKEN_5555.TXT";

// What a detach does with one attachment under the settings: it passes over the
// token, keeps an exempted one and (unless the settings treat them as files) an image
// with a Content-ID, and saves every other one. Every detach, its preview and every
// count of what a detach would take out go by this.
struct AttachmentFate {
  enum class Kind { kToken, kExempted, kInlineKept, kDetach };
  Kind kind = Kind::kDetach;
  std::string fileName;
  // An image's Content-ID, trimmed: a detached one's "cid:" references in the body
  // then lead to the saved file, and no link is added for it.
  std::string contentId;
  bool inlineImage = false;  // the record's inline-image flag
  std::string reason;        // why a kept one stays, in words
};
inline constexpr const char* kInlineImageReason = "an inline image of the body";

// Raises what reading the attachment's file name raises.
AttachmentFate ClassifyAttachment(om::Attachment& attachment, cSettings& settings);

// automatic: a monitor calls (no permission message; Mac/web links by their own
// setting). Signed or encrypted mail is left as it is. Files it saved go again when
// the item is not saved in the end (only inline images kept, a failed flush of the
// folder, a failed save), so no file is left that nothing links to. folder: target folder, "" lets
// the engine decide. customFolder: with an empty folder and automatic false, ask the user for the
// folder.
void ProcessEmail(const std::shared_ptr<om::Item>& item, bool automatic, const std::string& folder,
                  bool customFolder);

struct DetachWork;

// While one lives (a command over a folder or a selection), the ProcessEmail calls
// that are not a monitor's leave the last steps of each mail to it, so that several
// mails share their flushes: the saved files of all of them are flushed at once, then
// their names, and only then is each mail saved, in the order given. Up to kMails mails
// (or kBytes of attachments) wait; Finish, and the batch's end, complete them, and
// their outcomes are reported then. Only the first of nested batches collects.
class DetachBatch {
 public:
  DetachBatch();
  ~DetachBatch();
  DetachBatch(const DetachBatch&) = delete;
  DetachBatch& operator=(const DetachBatch&) = delete;
  void Finish();

 private:
  friend void ProcessEmail(const std::shared_ptr<om::Item>&, bool, const std::string&, bool);
  static constexpr std::size_t kMails = 16;
  static constexpr std::int64_t kBytes = std::int64_t{16} << 20;
  struct Open;
  std::unique_ptr<Open> open_;
  static DetachBatch* current_;
};

// What ProcessEmail(item, false, "", false) would do, doing none of it: reported
// like a detach, marked dryRun, its saved files the paths it would save under.
// Nothing is written, no question or message is shown and no number is drawn
// (preview collects the names planned, so that a run over several items plans
// them as the detach would save them).
void PreviewProcessEmail(const std::shared_ptr<om::Item>& item, NamePreview& preview);

// Deletes the first attachment whose file name and size equal the record's.
void DeleteAttachmentFromMail(const std::shared_ptr<platform::SafeItem>& safeItem,
                              const cProcessedAttachment& record);

// Adds the hidden one-byte token attachment to an item left without attachments,
// and saves the item unless save is false (the caller saves it with other changes).
void AddTokenAttachmentFile(const std::shared_ptr<platform::SafeItem>& safeItem,
                            const std::shared_ptr<om::Item>& item, bool save = true);

// The path a detach would save the attachment fileName under now (the first
// choice, a prefixed name when it is taken, the unreadable-name form when it cannot
// be used), choosing among the same names, with the paths preview planned counting as taken; ""
// when no name would do.
std::string PlanAttachmentPath(const std::shared_ptr<om::Item>& item, const std::string& folder,
                               const std::string& fileName, NamePreview& preview);

// True for names ending in .BMP, .PNG, .GIF, .JPG or .JPEG (any case).
bool IsImageFile(const std::string& fileName);

// A signed or encrypted mail's class ("IPM.Note.SMIME...", "IPM.Note.Secure..."):
// nothing may change such a mail.
bool IsSignedOrEncrypted(const std::string& messageClass);

// An item counts as processed when its BillingInformation, upper-cased, is the marker.
bool IsProcessed(const std::shared_ptr<om::Item>& item);

}  // namespace stow
