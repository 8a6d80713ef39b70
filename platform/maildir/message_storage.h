#pragma once
// The seam between the mail item over a MIME message (mime_item.h) and the place
// its bytes live. The item core maps a message to the object model (headers,
// bodies, attachments, the authenticated records) and knows nothing of where the
// message is kept; a store gives each item a MessageStorage for its message, and
// itself as the item's ItemHost.
//
// The Maildir store keeps a message as a file of a folder (MaildirMessage,
// maildir_message.h: the file found again by its unique name, a rewrite by the
// protocol of maildir_save.h). The members ask only what a store on a server can
// give as well: a descriptor to read from (a fetched copy), the header block alone,
// a replacement that puts the new version in before the old one goes, and whether
// the message changed since it was read.
//
// Every member may raise ComError: kObjectGone when the message is no longer
// there (after which Gone() is true), kItemInConflict when the storage holds two
// copies or another program changed the message since it was read, a file system or
// network error number otherwise.

#include <unistd.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/maildir/fast_scan.h"
#include "platform/object_model.h"

namespace stow::maildir {

class HeaderAuth;

class MessageStorage {
 public:
  virtual ~MessageStorage() = default;

  // --- identity

  // The item's EntryID: it names the message for its life in its folder, and a new
  // one after each Replace. "" for a new mail not yet saved.
  virtual std::string EntryId() const = 0;
  // Names the message in errors (a file's path; a mailbox and UID).
  virtual std::string Describe() const = 0;
  // The message was found gone, or deleted through this storage.
  virtual bool Gone() const = 0;
  // The folder that holds the message (for a new mail: where Replace puts it).
  virtual std::shared_ptr<om::Folder> Folder() = 0;
  // The storage holds another copy under the same identity: the item is in conflict.
  virtual bool InConflict() = 0;

  // --- reading. The first read remembers which version was read: Replace replaces
  // only that one.

  // A descriptor to read the whole message from, at its start (the caller closes it).
  virtual int Open() = 0;
  // Only the header block, up to and with its first empty line. A storage that can
  // fetch the header alone does so; others read it through Open.
  virtual scan::HeaderText ReadHeader() {
    int fd = Open();
    auto header = scan::ReadHeaderText(fd);
    close(fd);
    return header;
  }
  // When the message was delivered, as the storage records it (the seconds a
  // Maildir unique name starts with, IMAP's INTERNALDATE); nullopt when it does not.
  virtual std::optional<std::int64_t> DeliveryTime() = 0;
  // When the storage last wrote the message: the last resort for a delivery time.
  virtual std::optional<std::int64_t> StoredTime() = 0;
  // A text that changes whenever the stored message may have changed (for a file:
  // its size, inode, modification and change times), for caching what was read of
  // it; "" when the storage cannot tell, and then nothing is cached.
  virtual std::string VersionKey() const { return ""; }
  // A folder for working copies of the item (an attachment added from a file), where
  // a crash leaves nothing the user sees.
  virtual std::string WorkFolder() const = 0;

  // --- writing. title names the item in errors.

  // Whether a save can go ahead: raises kObjectGone when the message is gone,
  // kItemInConflict when there are two copies of it or it is no longer the version
  // read. Changes nothing (for a new mail, only makes its folder exist).
  virtual void CheckReplaceable(const std::string& title) = 0;
  // Writes a new version (write serialises the message to the descriptor it is
  // given) and puts it in the place of the version read at once: a reader sees the
  // old version or the new one, never both, never neither; the old version is gone
  // once this returns. deliverySeconds: when the message was delivered, for a
  // storage that keeps it in the name. Raises with the old version in place and
  // nothing left behind. Afterwards EntryId() names the new version, and it is the
  // version read.
  virtual void Replace(const std::string& title, std::int64_t deliverySeconds,
                       const std::function<void(int fd)>& write) = 0;
  // Moves the message to Deleted Items; one in Deleted Items is removed for good.
  // deliverySeconds is asked only by a storage that must give the message a new name
  // there (a Maildir whose Deleted Items holds its unique name already).
  virtual void Delete(const std::function<std::int64_t()>& deliverySeconds) = 0;
  // Removes the message for good.
  virtual void DeletePermanently() = 0;
};

// What the item core asks of the store that holds its messages.
class ItemHost {
 public:
  virtual ~ItemHost() = default;
  // The secret the store's records in a message are signed and checked with.
  virtual const HeaderAuth& auth() const = 0;
  virtual std::string secretPath() const = 0;
  // The item entryId carries records made under another secret: none of them is
  // believed, and the item is never saved (that would drop them).
  virtual void NoteUnverifiable(const std::string& entryId) = 0;
  virtual bool IsUnverifiable(const std::string& entryId) const = 0;
  // A save failed, and why: the host tells the user even where the caller ignores it.
  virtual void NoteSaveFailure(const std::string& description) = 0;
  // Where a new mail is kept until it is sent (Drafts), not yet saved.
  virtual std::unique_ptr<MessageStorage> NewMailStorage() = 0;
  // A saved message was rewritten (a new file, a new UID): where it is now (as the
  // storage describes it) and its Message-ID, for the tools that index mail. Called
  // once the new message is in place; nothing happens by default.
  virtual void Rewritten(const std::string& where, const std::string& messageId) {
    (void)where;
    (void)messageId;
  }
  // The processed mark last read from the message `where` (as the storage describes
  // it) at version `key` (MessageStorage::VersionKey), if the host keeps them; and
  // a mark read now, its signature checked, to keep. Nothing by default.
  virtual std::optional<std::string> CachedMark(const std::string& where, const std::string& key) {
    (void)where;
    (void)key;
    return std::nullopt;
  }
  virtual void RememberMark(const std::string& where, const std::string& key,
                            const std::string& mark) {
    (void)where;
    (void)key;
    (void)mark;
  }
};

}  // namespace stow::maildir
