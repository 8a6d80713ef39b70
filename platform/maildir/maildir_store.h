#pragma once
// The real mail store: the host object model over a Maildir++ tree, messages read
// and written with GMime.
//
// FOLDERS. The Maildir root is the Inbox; ".Name" is a folder beside it and
// ".Parent.Child" a folder below Parent; ".INBOX.Name" is a folder below the Inbox.
// Non-ASCII names are IMAP modified UTF-7 in the directory name (as Dovecot and
// Courier write them); '.' and '/' in a new folder's name become '_'. The store is
// the top folder: its Name is Options::displayName, its FolderPath "\\<name>", a
// folder's "\\<name>\<Inbox|Name>\<Child>". Default folders are found by name
// (compared without regard to case): Sent Items ("Sent Items", "Sent", "Sent
// Messages", "Sent Mail"), Deleted Items ("Deleted Items", "Trash", "Deleted
// Messages"), Drafts, Outbox. One that does not exist is listed anyway under its
// first name and its directory is made the first time something is written into
// it or its new mail is watched. "Calendar" (also "Contacts", "Tasks", "Notes",
// "Journal") is a folder of another item type; Calendar is listed even when there
// is no such directory.
//
// ITEMS. EntryID is the unique part of the file name (before the first ',' or
// ':'), so it survives flag changes and moves from new/ to cur/. Two files with
// the same unique part in one folder put the item in conflict (0x80020009).
//
// HEADERS THE STORE WRITES (top-level, all values are ASCII):
//   X-Stowbright-Billing: v=1; value=<base64 of the UTF-8 text>; mac=<hex>
//   X-Stowbright-Property: v=1; name=<base64 of the UTF-8 name>; type=<OlUserPropertyType>;
//       value=<base64 of the value's text form>; mac=<hex>
//   X-Stowbright-Hidden: v=1; mac=<hex>           (on the MIME part of a hidden attachment)
// Base64 runs are folded over several lines. The value's text form is the text
// for olText, "%.17g" for numbers and currency, "yyyy-mm-dd hh:mm:ss" for dates,
// "True"/"False" for yes/no. mac is HMAC-SHA256 (GLib GHmac) under the per-user
// secret (Options::secretPath, created with 32 random bytes on first use) over
// the length-prefixed fields: kind ("billing", "property", "hidden"), the
// message's Message-ID, then name, type and value (property), value (billing) or
// the part's file name (hidden). A header whose mac does not verify reads as
// absent and is dropped at the next Save; so is one copied into another message.
// A message saved without a Message-ID gets one.
//
// WHAT OTHER TOOLS SEE ON A REWRITE (Save). The new message is written to tmp/ and
// fsynced, then exchanged atomically with the old file under the old file's current
// name (RENAME_EXCHANGE: the folder never holds two copies, nor none), the
// directory fsynced, and that name renamed to the new one (fsynced again; through a
// name that keeps the old unique part, so that watchers see a rename, not new
// mail); the old message, now in tmp/, is unlinked. A rewrite replaces only the
// version it read: the processes of this program take turns per folder (an flock
// of its directory) for the look, the exchange and the rename; what the exchange
// took out is checked all the same, and when it is not the version read it is put
// back and the save fails ("changed by another program"). A writer killed between
// the exchange and the rename leaves the new message under the old name; the next
// listing of the folder gives it its new name. The new file has a new unique name whose leading seconds
// are the original delivery time, the old flags (":2,...") and mtime, no ",U="
// and no ",W="; ",S=<size>" only when the old name had one. So Dovecot sees one
// message expunged and one new message (new UID, same flags, same received
// date); mbsync sees a new message without a UID to propagate and the old one
// gone (it expunges/re-uploads per its Expunge/Create settings); notmuch sees
// the old file removed and a new file of the same Message-ID (same thread, same
// tags after `notmuch new`).
//
// NOTIFICATIONS. Reading a folder's Items()->ItemAdd() starts watching its new/
// and cur/ through inotify on platform::Platform().loop (when there is one): a
// file whose unique name the folder did not hold, arriving from outside the folder,
// is a new item; flag renames, new/ to cur/ moves and rewrites (by any process of
// this program) are not.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/maildir/header_auth.h"
#include "platform/object_model.h"

namespace stow::maildir {

class FolderWatch;
class MaildirItems;

struct Options {
  std::string displayName = "Personal Folders";
  // Empty: HeaderAuth::DefaultPath().
  std::string secretPath;
  // Make a new secret even where messages carry marks made with one that is missing
  // (they are never believed under the new one).
  bool newSecret = false;
  // A save returns once the new message is in place and its content on disk; the
  // flush of its new name and the removal of the old content and of the save's note
  // follow on a background queue (AfterSaveQueue), drained at exit and by
  // DrainSaves. A crash in between leaves what FinishInterruptedSaves completes.
  bool backgroundFlushes = false;
  // Runs in a rewrite between its last look at the message it replaces and the
  // exchange (tests put another writer there).
  std::function<void()> beforeExchange;
};

// Waits until the background ends of every save of the process are done.
void DrainSaves();

// Where one folder lives. dir is empty for a folder without a directory yet.
struct FolderRef {
  std::vector<std::string> names;  // below the store: {"Inbox"}, {"Work", "Projects"}
  std::string dir;                 // absolute Maildir directory
  bool exists = false;             // dir holds a Maildir (cur/ new/ tmp/)
  int itemType = om::olMailItem;
};

class MaildirStore : public om::NameSpace {
 public:
  // Opens the Maildir tree at root (a folder with cur/ and new/; tmp/ is made when it
  // is missing). Raises ComError when root is not a Maildir, or the secret cannot be
  // read or made (see OpenStoreSecret: a missing secret is made only where no
  // message carries a mark).
  static std::shared_ptr<MaildirStore> Open(const std::string& root, Options options = {});
  // Makes a new, empty Maildir at root (and the folders above it); false when root is
  // a Maildir already. Raises ComError when root is a folder holding anything else,
  // or cannot be made.
  static bool Create(const std::string& root);

  std::shared_ptr<om::Folder> GetDefaultFolder(int folderType) override;
  std::shared_ptr<om::Folder> PickFolder() override;
  std::shared_ptr<om::Folders> Folders() override;
  std::shared_ptr<om::Recipient> CreateRecipient(const std::string& name) override;
  std::shared_ptr<om::Folder> GetSharedDefaultFolder(const std::shared_ptr<om::Recipient>& owner,
                                                     int folderType) override;

  // A new unsaved mail (empty EntryID); Save stores it in Drafts.
  std::shared_ptr<om::Item> CreateMailItem();
  // The top folder (the store itself).
  std::shared_ptr<om::Folder> Root();
  // The folder at names below the store, nullptr when there is none.
  std::shared_ptr<om::Folder> FolderAt(const std::vector<std::string>& names);

  const std::string& root() const { return root_; }
  const std::string& displayName() const { return options_.displayName; }
  const Options& options() const { return options_; }
  // Open made a new secret.
  bool secretCreated() const { return secretCreated_; }
  std::string secretPath() const;
  // The EntryIDs of the items read so far that carry records made under another
  // secret (the store's was changed or lost since): none of their records is
  // believed, and none of them can be saved (that would drop the records).
  const std::set<std::string>& UnverifiableItems() const { return unverifiable_; }
  void NoteUnverifiable(const std::string& entryId);
  // Why each Save that failed since the last call failed (callers may ignore a
  // failed save; the user must still learn of it), oldest first.
  std::vector<std::string> TakeSaveFailures();
  void NoteSaveFailure(const std::string& description);

  // --- used by the store's own objects ---
  const HeaderAuth& auth() const { return auth_; }
  std::vector<FolderRef> ChildFolders(const std::vector<std::string>& names);
  FolderRef RefFor(const std::vector<std::string>& names);
  // Makes the Maildir of ref exist.
  void Materialize(FolderRef& ref);
  std::shared_ptr<om::Folder> MakeFolder(const FolderRef& ref);
  std::shared_ptr<MaildirItems> ItemsOf(const FolderRef& ref);
  std::shared_ptr<om::Item> MakeItem(const FolderRef& ref, const std::string& sub,
                                     const std::string& fileName);
  // A save renamed unique `from` to `to` in folder dir: walks in progress follow it,
  // and the folder's watcher does not take it for a delivery.
  void NoteRewrite(const std::string& dir, const std::string& from, const std::string& to);
  void ExpectOwnFile(const std::string& dir, const std::string& unique);
  std::string FollowRewrites(const std::string& dir, std::string unique) const;
  int DefaultKindOf(const FolderRef& ref);
  FolderRef DefaultRef(int folderType);

 private:
  MaildirStore(std::string root, Options options, HeaderAuth auth);
  struct Scanned {
    std::vector<std::string> names;
    std::string dir;
  };
  std::vector<Scanned> Scan();

  std::string root_;
  Options options_;
  HeaderAuth auth_;
  bool secretCreated_ = false;
  std::set<std::string> unverifiable_;
  std::vector<std::string> saveFailures_;
  std::map<std::string, std::map<std::string, std::string>> rewrites_;  // dir -> from -> to
  std::map<std::string, std::weak_ptr<MaildirItems>> items_;            // dir -> collection
};

}  // namespace stow::maildir
