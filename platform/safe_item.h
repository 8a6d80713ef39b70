#pragma once
// The safe item library: wrappers that read and write an item's low-level
// properties, attachments and bodies without the host's security prompts.
// Created by programmatic identifier through the object factory:
//   "QLXLib.QLXMAPIUtils"  -> SafeUtils (one per process)
//   "QLXLib.QLXMailItem", "QLXLib.QLXPostItem", "QLXLib.QLXAppointmentItem",
//   "QLXLib.QLXMeetingItem", "QLXLib.QLXTaskItem", "QLXLib.QLXJournalItem",
//   "QLXLib.QLXContactItem" -> SafeItem
// A wrapper works only after AuthKey was set to the library's access code;
// before that every member raises.

#include <memory>
#include <string>
#include <vector>

#include "platform/com_object.h"
#include "platform/object_model.h"

namespace stow::platform {

// The library's access code (17 letters).
inline constexpr const char* kSafeLibraryAuthKey = "QHXPLZMKRWTVBNQJD";

struct AddressEntry {
  std::string Type;  // "EX" for a mailbox of the organisation, "SMTP" otherwise
  std::string SMTPAddress;
  std::string Name;
};

// How the address book picker is shown: its title, whether one address only may be
// chosen and names must resolve, how many recipient lists it offers (1 to 3) and the
// labels of their buttons ("To", "Cc", "Bcc" when none is given).
struct AddressBookOptions {
  std::string title;
  bool oneAddress = false;
  bool forceResolution = false;
  int recipientLists = 3;
  std::string labels[3];
};

class SafeUtils : public ComObject {
 public:
  // kSafeLibraryAuthKey authorises the object; any other text takes the authority
  // away. Never raises.
  virtual void SetAuthKey(const std::string& key) = 0;
  // The address book picker: the entries the user chose, empty when cancelled.
  virtual std::vector<AddressEntry> AddressBook(const AddressBookOptions& options) = 0;
  // Releases what the library holds; the object stays usable.
  virtual void Cleanup() = 0;
};

class SafeItem : public ComObject {
 public:
  // As SafeUtils::SetAuthKey.
  virtual void SetAuthKey(const std::string& key) = 0;
  // The item the wrapper reads from now on.
  virtual void SetItem(const std::shared_ptr<om::Item>& item) = 0;
  // The item set; nullptr before SetItem.
  virtual std::shared_ptr<om::Item> Item() = 0;
  // The item's bodies, as om::Item gives them; errnum::kObjectRequired when no item
  // was set.
  virtual std::string HTMLBody() = 0;
  // As HTMLBody, for the plain-text body.
  virtual std::string Body() = 0;
  // nullptr when the item has no attachment collection.
  virtual std::shared_ptr<om::Attachments> Attachments() = 0;
};

}  // namespace stow::platform
