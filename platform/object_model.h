#pragma once
// The mail client's object model, as the add-in uses it: application, namespace,
// explorers and inspectors (windows), folders, items, attachments, user properties.
//
// Conventions every implementation keeps:
// - Failures raise ComError. An object that has gone away (a deleted item, a closed
//   window) raises errnum::kObjectGone on use.
// - Collections are 1-based, as in the host (Item(1) is the first).
// - Events are raised on the one thread that runs the message loop.
// - Nothing is written to the store until Save (items) is called, except Delete.
// - Reading changes nothing: a getter never writes, and sees the object's own
//   pending edits; an absent value reads as empty.
//
// Implementations: maildir::MaildirStore (the real one) and mem::MemoryStore; both
// run tests/contract/store_contract.cc.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/com_object.h"
#include "platform/event.h"
#include "platform/value.h"

namespace stow::office {
class CommandBars;
}

namespace stow::om {

class Application;
class NameSpace;
class Folder;
class Folders;
class Items;
class Item;
class Attachments;
class Attachment;
class UserProperties;
class UserProperty;
class Explorer;
class Explorers;
class Inspector;
class Inspectors;
class Selection;
class Recipient;

// Item types of a folder's DefaultItemType.
enum OlItemType : int {
  olMailItem = 0,
  olAppointmentItem = 1,
  olContactItem = 2,
  olTaskItem = 3,
  olJournalItem = 4,
  olNoteItem = 5,
  olPostItem = 6,
};

enum OlDefaultFolders : int {
  olFolderDeletedItems = 3,
  olFolderOutbox = 4,
  olFolderSentMail = 5,
  olFolderInbox = 6,
  olFolderCalendar = 9,
  olFolderDrafts = 16,
};

enum OlUserPropertyType : int {
  olText = 1,
  olNumber = 3,
  olDateTime = 5,
  olYesNo = 6,
  olCurrency = 14,
};

enum OlInspectorClose : int { olSave = 0, olDiscard = 1, olPromptForSave = 2 };

// Attachment property tags read and written through Attachment::Field.
inline constexpr std::uint32_t PR_ATTACH_CONTENT_ID = 0x3712001E;
inline constexpr std::uint32_t PR_ATTACHMENT_HIDDEN = 0x7FFE000B;

// A window of the host: an explorer or an inspector.
class Window : public ComObject {
 public:
  // "Explorer" or "Inspector": the type name the add-in compares with.
  virtual std::string TypeName() const = 0;
  // The window's title as the user sees it.
  virtual std::string Caption() = 0;
  // Makes the window the active one (ActiveWindow answers it next).
  virtual void Activate() = 0;
};

class Application : public ComObject {
 public:
  // "14.0.0.0" style; the major number precedes the first ".".
  virtual std::string Version() = 0;
  // The store's namespace; type is "MAPI" (in any case), anything else raises
  // errnum::kInvalidProcedureCall.
  virtual std::shared_ptr<om::NameSpace> GetNamespace(const std::string& type) = 0;
  // 0 (olMailItem): a new, unsaved mail item (EntryID empty); other types raise
  // errnum::kInvalidProcedureCall.
  virtual std::shared_ptr<om::Item> CreateItem(int itemType) = 0;
  // nullptr when there is none.
  virtual std::shared_ptr<om::Window> ActiveWindow() = 0;
  // The explorer that was active last; nullptr when none is open.
  virtual std::shared_ptr<om::Explorer> ActiveExplorer() = 0;
  // The inspector that was active last; nullptr when none is open.
  virtual std::shared_ptr<om::Inspector> ActiveInspector() = 0;
  // The open explorers, first opened first.
  virtual std::shared_ptr<om::Explorers> Explorers() = 0;
  // The open inspectors, first opened first.
  virtual std::shared_ptr<om::Inspectors> Inspectors() = 0;
  // The host's own object factory; raises when the identifier is unknown.
  virtual ComPtr CreateObject(const std::string& progId) = 0;
  // Closes the host: QuitEvent is raised, then every window is gone.
  virtual void Quit() = 0;
  // Raised before the host goes away.
  virtual Event<>& QuitEvent() = 0;
};

class NameSpace : public ComObject {
 public:
  // olFolderSentMail, olFolderInbox, olFolderCalendar, ...; raises when the store has none.
  virtual std::shared_ptr<om::Folder> GetDefaultFolder(int folderType) = 0;
  // The host's folder picker; nullptr when the user cancelled.
  virtual std::shared_ptr<om::Folder> PickFolder() = 0;
  // The top-level folders (stores).
  virtual std::shared_ptr<om::Folders> Folders() = 0;
  // An unresolved recipient of that name (Resolve looks it up).
  virtual std::shared_ptr<om::Recipient> CreateRecipient(const std::string& name) = 0;
  // Another user's default folder; raises when the mailbox cannot be reached.
  virtual std::shared_ptr<om::Folder> GetSharedDefaultFolder(
      const std::shared_ptr<om::Recipient>& owner, int folderType) = 0;
};

class Recipient : public ComObject {
 public:
  // The name it was created with.
  virtual std::string Name() = 0;
  // Looks the name up; true when it resolves to a mailbox the store can open.
  virtual bool Resolve() = 0;
  // What the last Resolve found; false before any.
  virtual bool Resolved() = 0;
};

class Folders : public ComObject {
 public:
  // How many folders the collection holds.
  virtual std::int64_t Count() = 0;
  // The folder at index, 1 to Count(); raises errnum::kSubscriptOutOfRange otherwise.
  virtual std::shared_ptr<om::Folder> Item(std::int64_t index) = 0;
  // By name, as the host compares folder names (without regard to case); raises
  // errnum::kFail when absent.
  virtual std::shared_ptr<om::Folder> Item(const std::string& name) = 0;
};

class Folder : public ComObject {
 public:
  // The folder's display name (the store's name for a top-level folder).
  virtual std::string Name() = 0;
  // "\\" + store name + "\" + folder names.
  virtual std::string FolderPath() = 0;
  // The OlItemType of the items it holds (olMailItem for mail folders).
  virtual int DefaultItemType() = 0;
  // The folder above; nullptr for a top-level folder (a store).
  virtual std::shared_ptr<om::Folder> Parent() = 0;
  // The folders directly below it.
  virtual std::shared_ptr<om::Folders> Folders() = 0;
  // The items it holds.
  virtual std::shared_ptr<om::Items> Items() = 0;
};

// Walks a collection of items once. Items saved (rewritten) or deleted during the
// walk are not visited again; items added during it may or may not be visited.
class ItemEnumerator {
 public:
  virtual ~ItemEnumerator() = default;
  // nullptr at the end.
  virtual std::shared_ptr<om::Item> Next() = 0;
};

class Items : public ComObject {
 public:
  // How many items the folder holds.
  virtual std::int64_t Count() = 0;
  // The item at index, 1 to Count(); raises errnum::kSubscriptOutOfRange otherwise.
  virtual std::shared_ptr<om::Item> Item(std::int64_t index) = 0;
  // A walk over the items, as ItemEnumerator promises.
  virtual std::unique_ptr<om::ItemEnumerator> Enumerate() = 0;
  // Raised once per item added to the folder, on the message loop's thread.
  virtual Event<std::shared_ptr<om::Item>>& ItemAdd() = 0;
};

// A mail (or other item). Setters and the edits of its attachments and user
// properties stay pending in this object (which reads them back) until Save; other
// objects over the same item see the stored item until then. Every member raises
// errnum::kObjectGone once the item was deleted, through this object or another.
class Item : public ComObject {
 public:
  // "IPM.Note" for mail; other classes for other item types.
  virtual std::string MessageClass() = 0;
  // The item's id in its store; empty for an item never saved. A Save or Delete may
  // give the item a new one: read it again afterwards.
  virtual std::string EntryID() = 0;
  // The subject, UTF-8.
  virtual std::string Subject() = 0;
  // Pending until Save.
  virtual void SetSubject(const std::string& subject) = 0;
  // When the item arrived; DateTime::None() for an item never saved.
  virtual DateTime ReceivedTime() = 0;
  // The conversation's index (hex); empty when the item belongs to none.
  virtual std::string ConversationIndex() = 0;
  // The conversation's subject, without reply and forward prefixes.
  virtual std::string ConversationTopic() = 0;
  // The folder holding the item (Drafts' for one never saved).
  virtual std::shared_ptr<om::Folder> Parent() = 0;
  // The whole HTML body, UTF-8; empty when the item has none.
  virtual std::string HTMLBody() = 0;
  // Pending until Save; a plain-text item given an HTML body becomes an HTML item.
  virtual void SetHTMLBody(const std::string& html) = 0;
  // The plain-text body.
  virtual std::string Body() = 0;
  // Pending until Save.
  virtual void SetBody(const std::string& text) = 0;
  // The To recipients as one text.
  virtual std::string To() = 0;
  // Pending until Save.
  virtual void SetTo(const std::string& to) = 0;
  // The billing text (the add-in's processed marker); empty when unset.
  virtual std::string BillingInformation() = 0;
  // Pending until Save; "" removes it.
  virtual void SetBillingInformation(const std::string& text) = 0;
  // The item's user properties (edits pending until Save).
  virtual std::shared_ptr<om::UserProperties> UserProperties() = 0;
  // The item's attachments in message order (Add and Delete pending until Save).
  virtual std::shared_ptr<om::Attachments> Attachments() = 0;
  // Writes the pending edits to the store, all or nothing: on success every other
  // object over the item reads them, and a new item gets its EntryID (in Drafts).
  // On failure it raises ComError and the stored item stays exactly as before,
  // while the edits stay pending in this object, so that the next Save writes them.
  // A walk of the folder (ItemEnumerator) does not visit the saved item again.
  virtual void Save() = 0;
  // Moves the item to Deleted Items, at once (no Save); one already there is
  // removed for good. This object (and every other over the item)
  // is gone afterwards: errnum::kObjectGone on use. Pending edits are dropped. On
  // failure it raises and the item stays where it was.
  virtual void Delete() = 0;
  // Removes the item for good, wherever it is: no copy goes to Deleted Items. The
  // object is gone afterwards (errnum::kObjectGone on use).
  virtual void DeletePermanently() = 0;
  // Opens the item in an inspector.
  virtual void Display() = 0;
  // New unsaved items answering or passing on this one, with their conversation set.
  virtual std::shared_ptr<om::Item> Reply() = 0;
  // As Reply, for passing the item on.
  virtual std::shared_ptr<om::Item> Forward() = 0;
};

class UserProperty : public ComObject {
 public:
  // The name it was added with.
  virtual std::string Name() = 0;
  // Its OlUserPropertyType.
  virtual int Type() = 0;
  // The value, as set (texts keep CR, LF and tabs); Empty when never set.
  virtual Value GetValue() = 0;
  // Converted to the property's type, pending until the item's Save; raises
  // errnum::kTypeMismatch when v cannot be.
  virtual void SetValue(const Value& v) = 0;
};

class UserProperties : public ComObject {
 public:
  // nullptr when absent; raises errnum::kItemInConflict for an item in conflict.
  virtual std::shared_ptr<om::UserProperty> Find(const std::string& name) = 0;
  // Adds a property of that name and OlUserPropertyType, pending until the item's
  // Save. Precondition: the item has none of that name (Find first; stores differ
  // on a second Add). An empty name raises errnum::kInvalidProcedureCall.
  // addToFolderFields is informational.
  virtual std::shared_ptr<om::UserProperty> Add(const std::string& name, int type,
                                                bool addToFolderFields) = 0;
  // How many properties the item has, pending ones included.
  virtual std::int64_t Count() = 0;
};

class Attachment : public ComObject {
 public:
  // The file name the attachment carries (of the path it was added from).
  virtual std::string FileName() = 0;
  // The name shown for it; FileName unless it was added under another.
  virtual std::string DisplayName() = 0;
  // Decoded size in bytes.
  virtual std::int64_t Size() = 0;
  // Low-level properties by tag (PR_ATTACH_CONTENT_ID, PR_ATTACHMENT_HIDDEN); Empty when unset.
  virtual Value Field(std::uint32_t tag) = 0;
  // Sets one of those properties (Empty removes it), pending until the item's Save.
  // Precondition: tag is one of the two above.
  virtual void SetField(std::uint32_t tag, const Value& v) = 0;
  // Writes exactly the attachment's decoded bytes to path, replacing a file there.
  // Raises when the bytes cannot be written or cannot be decoded faithfully; then
  // the file at path is not left half-written. The bytes are on disk when it
  // returns; the new name is not until the caller flushes the folder, so that saving
  // many files into one folder costs one folder flush.
  virtual void SaveAsFile(const std::string& path) = 0;
  // SaveAsFile without the flush of the bytes, for a caller that writes several
  // files and flushes them together (FileSystemObject::SyncFiles) before anything
  // relies on them. Until then a crash may leave the file at path short.
  virtual void SaveAsFileUnflushed(const std::string& path) { SaveAsFile(path); }
  // Removes the attachment from its item (the item still has to be saved).
  virtual void Delete() = 0;
};

class Attachments : public ComObject {
 public:
  // How many attachments the item has, pending adds and deletes counted.
  virtual std::int64_t Count() = 0;
  // The attachment at index, 1 to Count(), in message order; raises
  // errnum::kSubscriptOutOfRange otherwise.
  virtual std::shared_ptr<om::Attachment> Item(std::int64_t index) = 0;
  // A snapshot in message order; Delete during a walk of it is safe.
  virtual std::vector<std::shared_ptr<om::Attachment>> All() = 0;
  // Adds the file at path (read now), last in order, pending until the item's Save;
  // displayName empty means the file's own name. 53 when there is no file at path;
  // then nothing was added.
  virtual std::shared_ptr<om::Attachment> Add(const std::string& path,
                                              const std::string& displayName) = 0;
};

// The items selected in an explorer, as they were when Selection() was called.
class Selection : public ComObject {
 public:
  // How many items are selected.
  virtual std::int64_t Count() = 0;
  // The selected item at index, 1 to Count(); raises errnum::kSubscriptOutOfRange
  // otherwise.
  virtual std::shared_ptr<om::Item> Item(std::int64_t index) = 0;
  // All of them, in the order shown.
  virtual std::vector<std::shared_ptr<om::Item>> All() = 0;
};

class Explorer : public Window {
 public:
  std::string TypeName() const override { return "Explorer"; }
  // The folder it shows.
  virtual std::shared_ptr<om::Folder> CurrentFolder() = 0;
  // The items selected now (possibly none).
  virtual std::shared_ptr<om::Selection> Selection() = 0;
  // Shows folder with nothing selected, then raises FolderSwitch; nullptr raises
  // errnum::kObjectRequired.
  virtual void SelectFolder(const std::shared_ptr<om::Folder>& folder) = 0;
  // Shows the window (and activates it).
  virtual void Display() = 0;
  // Closes the window: it leaves Explorers, then CloseEvent is raised.
  virtual void Close() = 0;
  // Raised after the explorer shows another folder.
  virtual Event<>& FolderSwitch() = 0;
  // Raised once the window has closed.
  virtual Event<>& CloseEvent() = 0;
  // The window's command bars (platform/office.h); nullptr for a window without any.
  virtual std::shared_ptr<office::CommandBars> CommandBars() { return nullptr; }
};

class Explorers : public ComObject {
 public:
  // How many explorers are open.
  virtual std::int64_t Count() = 0;
  // The explorer at index, 1 to Count(); raises errnum::kSubscriptOutOfRange otherwise.
  virtual std::shared_ptr<om::Explorer> Item(std::int64_t index) = 0;
  // Opens a new explorer on folder, not displayed, and raises NewExplorer with it;
  // nullptr raises errnum::kObjectRequired.
  virtual std::shared_ptr<om::Explorer> Add(const std::shared_ptr<om::Folder>& folder,
                                            int displayMode) = 0;
  // Raised once for each explorer opened, before it is displayed.
  virtual Event<std::shared_ptr<om::Explorer>>& NewExplorer() = 0;
};

class Inspector : public Window {
 public:
  std::string TypeName() const override { return "Inspector"; }
  // The item it shows.
  virtual std::shared_ptr<om::Item> CurrentItem() = 0;
  // Closes the window: with olSave the item is saved first (a failed Save raises
  // and the window stays); otherwise pending edits stay in the item object. It
  // leaves Inspectors, then CloseEvent is raised.
  virtual void Close(int saveMode) = 0;
  // Raised once the window has closed.
  virtual Event<>& CloseEvent() = 0;
  // The window's command bars (platform/office.h); nullptr for a window without any.
  virtual std::shared_ptr<office::CommandBars> CommandBars() { return nullptr; }
};

class Inspectors : public ComObject {
 public:
  // How many inspectors are open.
  virtual std::int64_t Count() = 0;
  // The inspector at index, 1 to Count(); raises errnum::kSubscriptOutOfRange
  // otherwise.
  virtual std::shared_ptr<om::Inspector> Item(std::int64_t index) = 0;
  // Raised with CurrentItem already set.
  virtual Event<std::shared_ptr<om::Inspector>>& NewInspector() = 0;
};

}  // namespace stow::om
