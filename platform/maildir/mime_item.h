#pragma once
// The mail item over a MIME message: how the object model's item maps to a message,
// whatever keeps its bytes (message_storage.h).
//
// EntryID is the storage's. MessageClass comes from the MIME structure: "IPM.Note",
// "IPM.Note.SMIME.MultipartSigned" / "IPM.Note.SMIME" / "IPM.Note.Secure" for
// signed or encrypted mail, "REPORT.IPM.Note.NDR" / ".IPNRN" for delivery and read
// reports, "IPM.Schedule.Meeting.Request" / ".Canceled" for invitations (found
// inside a multipart too), "IPM.Post" for news without a To. ReceivedTime is the
// storage's delivery time, else the first Received header's date. HTMLBody and Body
// read and write the HTML and plain-text bodies (a mail without a plain text shows
// its HTML as text). ConversationTopic and ConversationIndex come from Thread-Topic
// and Thread-Index, or are derived from the subject and References as the host
// derives them; Reply and Forward make a new mail in the same conversation.
// Attachments are item_attachments.h's; BillingInformation, UserProperties and the
// hidden flag are the authenticated records of item_marks.h.
//
// Reading is lazy: the header block alone answers the header questions (the billing
// text even without GMime, for a sweep over a large folder), and the whole
// structure is parsed only when a body or an attachment is asked for. Edits stay in
// the parsed message until Save, which writes the pending subject and records and
// has the storage replace the version read. A message GMime finds damaged is never
// changed, nor is signed or encrypted mail.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/maildir/message_storage.h"
#include "platform/maildir/mime.h"
#include "platform/maildir/part_restore.h"
#include "platform/object_model.h"

namespace stow::maildir {

// One attachment of the item, as its objects share it.
struct AttachmentState {
  mime::GRef<GMimeObject> part;
  bool deleted = false;
  std::optional<std::int64_t> size;
  std::optional<bool> hidden;         // set through SetField, not yet saved
  std::optional<std::string> sha256;  // of the decoded bytes, once they were read
  std::vector<int> indexes;           // where it sat as the mail was first read
  std::string madeName;               // for a nameless part the HTML shows by "cid:"
  bool loose = false;                 // hidden: kept with the marks, not in the structure
};

// One user property of the item, as its objects share it.
struct PropertyState {
  std::string name;
  int type = om::olText;
  Value value;
};

class MimeItem : public om::Item {
 public:
  // The item of the message storage holds; a new mail when storage holds none yet.
  MimeItem(std::shared_ptr<ItemHost> host, std::unique_ptr<MessageStorage> storage);

  std::string MessageClass() override;
  std::string EntryID() override;
  std::string Subject() override;
  void SetSubject(const std::string& subject) override;
  DateTime ReceivedTime() override;
  std::string ConversationIndex() override;
  std::string ConversationTopic() override;
  std::shared_ptr<om::Folder> Parent() override;
  std::string HTMLBody() override;
  void SetHTMLBody(const std::string& html) override;
  std::string Body() override;
  void SetBody(const std::string& text) override;
  std::string To() override;
  void SetTo(const std::string& to) override;
  std::string BillingInformation() override;
  void SetBillingInformation(const std::string& text) override;
  std::shared_ptr<om::UserProperties> UserProperties() override;
  std::shared_ptr<om::Attachments> Attachments() override;
  void Save() override;
  void Delete() override;
  void DeletePermanently() override;
  void Display() override;
  std::shared_ptr<om::Item> Reply() override;
  std::shared_ptr<om::Item> Forward() override;

  // --- for the attachment and property objects ---
  std::shared_ptr<MimeItem> Self();
  ItemHost& host() { return *host_; }
  MessageStorage& storage() { return *storage_; }
  // Raises kObjectGone once the item is deleted or found gone.
  void Alive();
  // The whole message; raises when it is damaged.
  std::shared_ptr<mime::Document> SoundDoc();
  std::vector<std::shared_ptr<AttachmentState>> AttachmentStates();
  // Takes the removed part that a file of this name, size and digest brings back.
  std::optional<RemovedPart> TakeRemoved(const std::string& name, std::int64_t size,
                                         const std::string& sha256);
  void NoteRemoved(RemovedPart part);
  // Signed or encrypted mail is never changed: a change inside would break it.
  // Raises for a part inside such a structure (any part for nullptr), and the item
  // is then never saved.
  void RefuseIfSealed(GMimeObject* part);
  // The saved hidden flag of an attachment part.
  bool StoredHidden(GMimeObject* part);
  std::vector<std::shared_ptr<PropertyState>>& Properties();
  // Raises kItemInConflict when the storage holds two copies of the message.
  void CheckConflict();

 private:
  // A part taken out of the mail and what brings it back.
  struct Removed {
    RemovedPart part;
    bool restored = false;
  };

  GMimeMessage* HeaderMessage();
  std::shared_ptr<mime::Document> Doc();
  std::vector<std::shared_ptr<Removed>>& RemovedParts();
  [[noreturn]] void RaiseSealed();
  std::int64_t DeliverySeconds();
  std::optional<std::string> QuickBilling();
  // The hidden attachments kept with the marks (those of the records, then those
  // hidden since).
  std::vector<std::shared_ptr<AttachmentState>>& LooseStates();
  // Puts each attachment where its hidden flag says: a hidden one small enough into
  // the marks (hidden), one shown again into the structure.
  void PlaceHidden(GMimeMessage* m, std::vector<HiddenFile>& hidden,
                   std::vector<GMimeObject*>& hiddenParts);
  // What setting the HTML body did to the plain text (pending, else as recorded).
  std::optional<maildir::PlainEdit> CurrentPlainEdit();
  // Runs read (which reads records) and notes the item as unverifiable when a
  // record it read was made under another secret.
  template <class F>
  auto ReadingRecords(const F& read);
  void Store();
  void ApplyPending(GMimeMessage* m);
  // The message is deleted: the item is gone, and lets go of what it read.
  void Forget();
  std::shared_ptr<om::Item> Respond(bool reply);

  std::shared_ptr<ItemHost> host_;
  std::unique_ptr<MessageStorage> storage_;
  std::shared_ptr<mime::Document> headers_, doc_;
  std::optional<std::string> subject_, billing_;
  std::optional<std::vector<std::shared_ptr<PropertyState>>> props_;
  std::map<GMimeObject*, std::shared_ptr<AttachmentState>> states_;
  std::optional<std::vector<std::shared_ptr<Removed>>> removed_;
  std::optional<std::optional<maildir::PlainEdit>> plainEdit_;
  std::optional<std::vector<std::shared_ptr<AttachmentState>>> loose_;
  bool sealedEditRefused_ = false;
  bool gone_ = false;
  bool threaded_ = false;  // a reply or forward made here
};

}  // namespace stow::maildir
