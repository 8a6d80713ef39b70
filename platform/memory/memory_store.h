#pragma once
// An in-memory mail store behind the object-model contract (platform/object_model.h):
// the test double of the Maildir store. It keeps the store's rules (edits pending
// until Save, Save all-or-nothing, Delete moves to Deleted Items (DeletePermanently
// does not; both count as kDelete calls), ItemAdd once per
// added item, gone items raising errnum::kObjectGone) and can be told to fail any
// call the add-in must survive.
//
// Layout of a new store (its top folder named after the store):
//   \\Personal Folders\Inbox          (olFolderInbox, mail)
//   \\Personal Folders\Sent Items     (olFolderSentMail, mail)
//   \\Personal Folders\Deleted Items  (olFolderDeletedItems, mail)
//   \\Personal Folders\Drafts         (olFolderDrafts, mail)
//   \\Personal Folders\Calendar       (olFolderCalendar, appointments)
//
// Item objects are views over stored records: every Items::Item call gives a new
// object, each with its own pending edits, all reading the same stored state.
// EntryIDs stay the same across Save and across the move into Deleted Items.

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/com_error.h"
#include "platform/object_model.h"
#include "platform/value.h"

namespace stow::mem {

struct AttachmentSpec {
  std::string fileName;
  std::string bytes;
  // Empty: no content id.
  std::string contentId;
  bool hidden = false;
};

struct MailSpec {
  std::string messageClass = "IPM.Note";
  std::string subject;
  std::string htmlBody;
  std::string body;
  std::string to;
  // Unset (year 0): the time the mail is added.
  DateTime receivedTime;
  std::string conversationIndex;
  std::string conversationTopic;
  std::string billingInformation;
  std::vector<AttachmentSpec> attachments;
};

// Calls the fault injector knows. Item calls are keyed by the item's EntryID,
// attachment calls by the attachment's FileName (Attachments::Add: the added file's
// name); an empty key matches every call.
enum class Op {
  kSave,
  kDelete,
  kSetSubject,
  kSetHTMLBody,
  kSetBody,
  kSetTo,
  kSetBillingInformation,
  kUserPropertiesFind,
  kUserPropertiesAdd,
  kUserPropertySetValue,
  kAttachments,  // Item::Attachments
  kAttachmentSaveAsFile,
  kAttachmentDelete,
  kAttachmentSetField,
  kAttachmentsAdd,
  kDisplay,
  kReply,
  kForward,
};

class MemoryStore;
namespace detail {
struct State;
}

// Failure plan and call counters of one store. Counters count successful calls.
class Faults {
 public:
  // The next `times` calls of op on key raise ComError(number); times < 0: every call
  // until Clear. Several plans for one call: the first one added wins.
  void Fail(Op op, const std::string& key, std::int32_t number, int times = 1);
  void FailSave(const std::string& entryId, std::int32_t number = errnum::kFail, int times = 1) {
    Fail(Op::kSave, entryId, number, times);
  }
  void FailDelete(const std::string& entryId, std::int32_t number = errnum::kFail, int times = 1) {
    Fail(Op::kDelete, entryId, number, times);
  }
  void FailAttachmentSave(const std::string& fileName,
                          std::int32_t number = errnum::kPermissionDenied, int times = 1) {
    Fail(Op::kAttachmentSaveAsFile, fileName, number, times);
  }
  void FailAttachmentAdd(const std::string& fileName, std::int32_t number = errnum::kFail,
                         int times = 1) {
    Fail(Op::kAttachmentsAdd, fileName, number, times);
  }
  void FailAttachmentDelete(const std::string& fileName, std::int32_t number = errnum::kFail,
                            int times = 1) {
    Fail(Op::kAttachmentDelete, fileName, number, times);
  }
  // UserProperties::Find of that item raises errnum::kItemInConflict while set.
  void SetConflict(const std::string& entryId, bool inConflict = true);
  // GetDefaultFolder(folderType) raises `number` until cleared (number 0 clears).
  void FailGetDefaultFolder(int folderType, std::int32_t number = errnum::kFail);
  // Removes the item from the store without any event, as another program would:
  // every object over it raises errnum::kObjectGone. False when no item has the id.
  bool MakeGone(const std::string& entryId);
  // Forgets every plan (not the counters).
  void Clear();

  // Successful calls of op on key ("" = on any key).
  int Count(Op op, const std::string& key = "") const;
  int SaveCount(const std::string& entryId = "") const { return Count(Op::kSave, entryId); }
  int DeleteCount(const std::string& entryId = "") const { return Count(Op::kDelete, entryId); }
  // Calls that raised because of a plan.
  int InjectedFailures() const { return injected_; }

  // Used by the store: raises when a plan says so, otherwise does nothing.
  void Check(Op op, const std::string& key);
  void Succeeded(Op op, const std::string& key);
  bool InConflict(const std::string& entryId) const;
  void CheckDefaultFolder(int folderType) const;

 private:
  friend struct detail::State;
  friend class MemoryStore;
  struct Plan {
    Op op;
    std::string key;
    std::int32_t number;
    int times;
  };
  std::vector<Plan> plans_;
  std::map<std::pair<Op, std::string>, int> counts_;
  std::map<std::string, bool> conflicts_;
  std::map<int, std::int32_t> defaultFolderFailures_;
  int injected_ = 0;
  detail::State* state_ = nullptr;
};

class MemoryStore : public om::NameSpace {
 public:
  explicit MemoryStore(const std::string& displayName = "Personal Folders");
  ~MemoryStore() override;

  // om::NameSpace
  std::shared_ptr<om::Folder> GetDefaultFolder(int folderType) override;
  // hostapp::PickFolder(): the host application's picker; nullptr without one.
  std::shared_ptr<om::Folder> PickFolder() override;
  std::shared_ptr<om::Folders> Folders() override;
  std::shared_ptr<om::Recipient> CreateRecipient(const std::string& name) override;
  // Only olFolderInbox of a mailbox made by AddMailbox; raises kFail otherwise.
  std::shared_ptr<om::Folder> GetSharedDefaultFolder(const std::shared_ptr<om::Recipient>& owner,
                                                     int folderType) override;

  // The top folder (the store itself).
  std::shared_ptr<om::Folder> Root();
  // A sub-folder of parent (a folder of this store); raises kKeyAlreadyInCollection
  // when parent has a folder of that name already.
  std::shared_ptr<om::Folder> AddFolder(const std::shared_ptr<om::Folder>& parent,
                                        const std::string& name, int itemType = om::olMailItem);
  // Another top folder "Mailbox - <ownerName>" with an Inbox; returns that Inbox.
  std::shared_ptr<om::Folder> AddMailbox(const std::string& ownerName);
  // A folder by its FolderPath (as the host writes it), nullptr when there is none.
  std::shared_ptr<om::Folder> FolderByPath(const std::string& folderPath);

  // Stores a mail in folder without any event; returns an object over it.
  std::shared_ptr<om::Item> AddMail(const std::shared_ptr<om::Folder>& folder,
                                    const MailSpec& mailSpec);
  // Same, then raises the folder's ItemAdd with a fresh object over the mail.
  std::shared_ptr<om::Item> Deliver(const std::shared_ptr<om::Folder>& folder,
                                    const MailSpec& mailSpec);
  // A new, unsaved IPM.Note (EntryID ""); its first Save stores it in Drafts.
  std::shared_ptr<om::Item> CreateMailItem();
  // A fresh object over the stored item, wherever it is; nullptr when there is none.
  std::shared_ptr<om::Item> FindByEntryId(const std::string& entryId);
  // Total number of stored items in all folders.
  std::int64_t ItemCount();

  Faults& faults();

 private:
  std::shared_ptr<detail::State> state_;
};

}  // namespace stow::mem
