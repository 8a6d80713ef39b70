#pragma once
// The folders of a Maildir++ tree, and the folder objects the add-in sees.
//
// The Maildir root is the Inbox; ".Name" is a folder beside it and ".Parent.Child"
// a folder below Parent; ".INBOX.Name" is a folder below the Inbox. Non-ASCII names
// are IMAP modified UTF-7 in the directory name (as Dovecot and Courier write them);
// '.' and '/' in a new folder's name become '_' (maildir_names.h). Names compare
// without regard to case. Default folders are found by their usual names: Sent
// Items ("Sent Items", "Sent", "Sent Messages", "Sent Mail"), Deleted Items ("Deleted
// Items", "Trash", "Deleted Messages"), Drafts, Outbox, each first at the top, then
// below the Inbox. One that does not exist is listed anyway under its first name,
// and its directory is made the first time something is written into it or its new
// mail is watched (Materialize). "Calendar" (also "Contacts", "Tasks", "Notes",
// "Journal") is a folder of another item type; Calendar is listed even when there is
// no such directory.

#include <memory>
#include <string>
#include <vector>

#include "platform/object_model.h"

namespace stow::maildir {

// Where one folder lives. dir is empty for the store itself (it holds no items).
// In a Maildir it is the folder's directory, on an IMAP server its mailbox name.
struct FolderRef {
  std::vector<std::string> names;  // below the store: {"Inbox"}, {"Work", "Projects"}
  std::string dir;                 // absolute Maildir directory, or mailbox
  bool exists = false;             // dir holds a Maildir (cur/ new/ tmp/), or is listed
  int itemType = om::olMailItem;
};

// The folder tree of a store, whatever lists its folders: the names, the default
// folders and the children are worked out here from the folders a Scan finds.
class FolderTree {
 public:
  virtual ~FolderTree() = default;

  // The folder at names (spelt as the store spells them when it exists); one that
  // does not exist yet has the place (dir) it would get.
  FolderRef RefFor(const std::vector<std::string>& names) const;
  // A default folder (om::olFolderInbox, ...). Raises kFail for a type the store
  // has none of.
  FolderRef DefaultRef(int folderType) const;
  // The folders directly below names, sorted by name; below the store: the Inbox
  // first, then the others with the default folders (Sent Items, Deleted Items,
  // Drafts, Calendar) whether or not they exist yet.
  std::vector<FolderRef> ChildFolders(const std::vector<std::string>& names) const;
  // Makes the folder of ref exist. Raises with the store's error number when it
  // cannot be made; kFail for the store itself.
  virtual void Materialize(FolderRef& ref) const = 0;

 protected:
  struct Scanned {
    std::vector<std::string> names;  // the Inbox spelt "Inbox"; never the Inbox itself
    std::string dir;
  };
  // Every folder below the store but the Inbox.
  virtual std::vector<Scanned> Scan() const = 0;
  // Where the Inbox lives.
  virtual std::string InboxDir() const = 0;
  // Where a folder the scan did not find would live, and whether something is there.
  virtual std::string PlaceOf(const std::vector<std::string>& names, bool* exists) const = 0;
  static int KindOf(const FolderRef& ref);
};

// The Maildir++ tree at root (the absolute path of the Maildir root). It is read
// afresh on every question, so a folder another program made or removed is seen at
// once.
class MaildirTree : public FolderTree {
 public:
  explicit MaildirTree(std::string root) : root_(std::move(root)) {}
  // Makes cur/ new/ tmp/, and the maildirfolder mark Courier and Dovecot give a
  // sub-folder.
  void Materialize(FolderRef& ref) const override;

 protected:
  std::vector<Scanned> Scan() const override;
  std::string InboxDir() const override { return root_; }
  std::string PlaceOf(const std::vector<std::string>& names, bool* exists) const override;

 private:
  std::string root_;
};

// What the folder objects ask of their store.
class FolderHost {
 public:
  virtual ~FolderHost() = default;
  virtual std::string DisplayName() const = 0;
  virtual const FolderTree& folders() const = 0;
  virtual std::shared_ptr<om::Folder> MakeFolder(const FolderRef& ref) = 0;
  // The items of ref: one object per folder while it is in use.
  virtual std::shared_ptr<om::Items> FolderItems(const FolderRef& ref) = 0;
};

// The folder object of ref in store.
std::shared_ptr<om::Folder> MakeStoreFolder(std::shared_ptr<FolderHost> store, FolderRef ref);
// A list of folders, found by index (from 1) or by name (without regard to case).
std::shared_ptr<om::Folders> MakeFolderList(std::vector<std::shared_ptr<om::Folder>> folders);

}  // namespace stow::maildir
