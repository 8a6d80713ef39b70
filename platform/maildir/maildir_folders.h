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
//
// FolderTree reads the tree afresh on every question, so a folder another program
// made or removed is seen at once.

#include <memory>
#include <string>
#include <vector>

#include "platform/object_model.h"

namespace stow::maildir {

class MaildirStore;

// Where one folder lives. dir is empty for the store itself (it holds no items).
struct FolderRef {
  std::vector<std::string> names;  // below the store: {"Inbox"}, {"Work", "Projects"}
  std::string dir;                 // absolute Maildir directory
  bool exists = false;             // dir holds a Maildir (cur/ new/ tmp/)
  int itemType = om::olMailItem;
};

class FolderTree {
 public:
  // root: the absolute path of the Maildir root.
  explicit FolderTree(std::string root) : root_(std::move(root)) {}

  // The folder at names (spelt as the directory spells them when it exists); one
  // that does not exist yet has the directory it would get.
  FolderRef RefFor(const std::vector<std::string>& names) const;
  // A default folder (om::olFolderInbox, ...). Raises kFail for a type the store
  // has none of.
  FolderRef DefaultRef(int folderType) const;
  // The folders directly below names, sorted by name; below the store: the Inbox
  // first, then the others with the default folders (Sent Items, Deleted Items,
  // Drafts, Calendar) whether or not their directories exist.
  std::vector<FolderRef> ChildFolders(const std::vector<std::string>& names) const;
  // Makes the Maildir of ref exist (cur/ new/ tmp/, and the maildirfolder mark
  // Courier and Dovecot give a sub-folder). Raises with the file system's number
  // when it cannot be made; kFail for the store itself.
  void Materialize(FolderRef& ref) const;

 private:
  struct Scanned {
    std::vector<std::string> names;
    std::string dir;
  };
  std::vector<Scanned> Scan() const;
  static int KindOf(const FolderRef& ref);

  std::string root_;
};

// The folder object of ref in store.
std::shared_ptr<om::Folder> MakeMaildirFolder(std::shared_ptr<MaildirStore> store, FolderRef ref);
// A list of folders, found by index (from 1) or by name (without regard to case).
std::shared_ptr<om::Folders> MakeFolderList(std::vector<std::shared_ptr<om::Folder>> folders);

}  // namespace stow::maildir
