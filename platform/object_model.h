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
  virtual std::string Caption() = 0;
  virtual void Activate() = 0;
};

class Application : public ComObject {
 public:
  // "14.0.0.0" style; the major number precedes the first ".".
  virtual std::string Version() = 0;
  virtual std::shared_ptr<om::NameSpace> GetNamespace(const std::string& type) = 0;
  // 0: a new, unsaved mail item (EntryID empty).
  virtual std::shared_ptr<om::Item> CreateItem(int itemType) = 0;
  // nullptr when there is none.
  virtual std::shared_ptr<om::Window> ActiveWindow() = 0;
  virtual std::shared_ptr<om::Explorer> ActiveExplorer() = 0;
  virtual std::shared_ptr<om::Inspector> ActiveInspector() = 0;
  virtual std::shared_ptr<om::Explorers> Explorers() = 0;
  virtual std::shared_ptr<om::Inspectors> Inspectors() = 0;
  // The host's own object factory; raises when the identifier is unknown.
  virtual ComPtr CreateObject(const std::string& progId) = 0;
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
  virtual std::shared_ptr<om::Recipient> CreateRecipient(const std::string& name) = 0;
  // Another user's default folder; raises when the mailbox cannot be reached.
  virtual std::shared_ptr<om::Folder> GetSharedDefaultFolder(const std::shared_ptr<om::Recipient>& owner,
                                                         int folderType) = 0;
};

class Recipient : public ComObject {
 public:
  virtual std::string Name() = 0;
  virtual bool Resolve() = 0;
  virtual bool Resolved() = 0;
};

class Folders : public ComObject {
 public:
  virtual std::int64_t Count() = 0;
  virtual std::shared_ptr<om::Folder> Item(std::int64_t index) = 0;
  // By name, as the host compares folder names (without regard to case); raises when absent.
  virtual std::shared_ptr<om::Folder> Item(const std::string& name) = 0;
};

class Folder : public ComObject {
 public:
  virtual std::string Name() = 0;
  // "\\" + store name + "\" + folder names.
  virtual std::string FolderPath() = 0;
  virtual int DefaultItemType() = 0;
  // The folder above; nullptr for a top-level folder (a store).
  virtual std::shared_ptr<om::Folder> Parent() = 0;
  virtual std::shared_ptr<om::Folders> Folders() = 0;
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
  virtual std::int64_t Count() = 0;
  virtual std::shared_ptr<om::Item> Item(std::int64_t index) = 0;
  virtual std::unique_ptr<om::ItemEnumerator> Enumerate() = 0;
  // Raised once per item added to the folder, on the message loop's thread.
  virtual Event<std::shared_ptr<om::Item>>& ItemAdd() = 0;
};

class Item : public ComObject {
 public:
  virtual std::string MessageClass() = 0;
  // Empty for an item never saved.
  virtual std::string EntryID() = 0;
  virtual std::string Subject() = 0;
  virtual void SetSubject(const std::string& subject) = 0;
  virtual DateTime ReceivedTime() = 0;
  virtual std::string ConversationIndex() = 0;
  virtual std::string ConversationTopic() = 0;
  virtual std::shared_ptr<om::Folder> Parent() = 0;
  // The whole HTML body, UTF-8; empty when the item has none.
  virtual std::string HTMLBody() = 0;
  virtual void SetHTMLBody(const std::string& html) = 0;
  // The plain-text body.
  virtual std::string Body() = 0;
  virtual void SetBody(const std::string& text) = 0;
  virtual std::string To() = 0;
  virtual void SetTo(const std::string& to) = 0;
  virtual std::string BillingInformation() = 0;
  virtual void SetBillingInformation(const std::string& text) = 0;
  virtual std::shared_ptr<om::UserProperties> UserProperties() = 0;
  virtual std::shared_ptr<om::Attachments> Attachments() = 0;
  virtual void Save() = 0;
  // Moves the item to Deleted Items (from there: removes it).
  virtual void Delete() = 0;
  // Removes the item for good, wherever it is: no copy goes to Deleted Items. The
  // object is gone afterwards (errnum::kObjectGone on use).
  virtual void DeletePermanently() = 0;
  // Opens the item in an inspector.
  virtual void Display() = 0;
  // New unsaved items answering or passing on this one, with their conversation set.
  virtual std::shared_ptr<om::Item> Reply() = 0;
  virtual std::shared_ptr<om::Item> Forward() = 0;
};

class UserProperty : public ComObject {
 public:
  virtual std::string Name() = 0;
  virtual int Type() = 0;
  virtual Value GetValue() = 0;
  virtual void SetValue(const Value& v) = 0;
};

class UserProperties : public ComObject {
 public:
  // nullptr when absent; raises errnum::kItemInConflict for an item in conflict.
  virtual std::shared_ptr<om::UserProperty> Find(const std::string& name) = 0;
  virtual std::shared_ptr<om::UserProperty> Add(const std::string& name, int type,
                                            bool addToFolderFields) = 0;
  virtual std::int64_t Count() = 0;
};

class Attachment : public ComObject {
 public:
  virtual std::string FileName() = 0;
  virtual std::string DisplayName() = 0;
  // Decoded size in bytes.
  virtual std::int64_t Size() = 0;
  // Low-level properties by tag (PR_ATTACH_CONTENT_ID, PR_ATTACHMENT_HIDDEN); Empty when unset.
  virtual Value Field(std::uint32_t tag) = 0;
  virtual void SetField(std::uint32_t tag, const Value& v) = 0;
  // Writes exactly the attachment's decoded bytes to path, replacing a file there.
  // Raises when the bytes cannot be written or cannot be decoded faithfully; then
  // the file at path is not left half-written. The bytes are on disk when it
  // returns; the new name is not until the caller flushes the folder, so that saving
  // many files into one folder costs one folder flush.
  virtual void SaveAsFile(const std::string& path) = 0;
  // Removes the attachment from its item (the item still has to be saved).
  virtual void Delete() = 0;
};

class Attachments : public ComObject {
 public:
  virtual std::int64_t Count() = 0;
  virtual std::shared_ptr<om::Attachment> Item(std::int64_t index) = 0;
  // A snapshot in message order; Delete during a walk of it is safe.
  virtual std::vector<std::shared_ptr<om::Attachment>> All() = 0;
  // Adds the file at path; displayName empty means the file's own name.
  virtual std::shared_ptr<om::Attachment> Add(const std::string& path,
                                          const std::string& displayName) = 0;
};

class Selection : public ComObject {
 public:
  virtual std::int64_t Count() = 0;
  virtual std::shared_ptr<om::Item> Item(std::int64_t index) = 0;
  virtual std::vector<std::shared_ptr<om::Item>> All() = 0;
};

class Explorer : public Window {
 public:
  std::string TypeName() const override { return "Explorer"; }
  virtual std::shared_ptr<om::Folder> CurrentFolder() = 0;
  virtual std::shared_ptr<om::Selection> Selection() = 0;
  virtual void SelectFolder(const std::shared_ptr<om::Folder>& folder) = 0;
  virtual void Display() = 0;
  virtual void Close() = 0;
  virtual Event<>& FolderSwitch() = 0;
  virtual Event<>& CloseEvent() = 0;
  // The window's command bars (platform/office.h); nullptr for a window without any.
  virtual std::shared_ptr<office::CommandBars> CommandBars() { return nullptr; }
};

class Explorers : public ComObject {
 public:
  virtual std::int64_t Count() = 0;
  virtual std::shared_ptr<om::Explorer> Item(std::int64_t index) = 0;
  virtual std::shared_ptr<om::Explorer> Add(const std::shared_ptr<om::Folder>& folder, int displayMode) = 0;
  virtual Event<std::shared_ptr<om::Explorer>>& NewExplorer() = 0;
};

class Inspector : public Window {
 public:
  std::string TypeName() const override { return "Inspector"; }
  virtual std::shared_ptr<om::Item> CurrentItem() = 0;
  virtual void Close(int saveMode) = 0;
  virtual Event<>& CloseEvent() = 0;
  // The window's command bars (platform/office.h); nullptr for a window without any.
  virtual std::shared_ptr<office::CommandBars> CommandBars() { return nullptr; }
};

class Inspectors : public ComObject {
 public:
  virtual std::int64_t Count() = 0;
  virtual std::shared_ptr<om::Inspector> Item(std::int64_t index) = 0;
  // Raised with CurrentItem already set.
  virtual Event<std::shared_ptr<om::Inspector>>& NewInspector() = 0;
};

}  // namespace stow::om
