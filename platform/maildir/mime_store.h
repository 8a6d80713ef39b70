#pragma once
// What every store of MIME messages shares, whatever keeps the messages (a Maildir
// tree, an IMAP account): the namespace over its folder tree, the items made with
// MimeItem, and the bookkeeping the host reads after a command (failed saves, items
// whose records another secret made, the new names rewrites gave items).
//
// The store is the top folder: its Name is the display name, its FolderPath
// "\\<name>", a folder's "\\<name>\<Inbox|Name>\<Child>".

#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/maildir/header_auth.h"
#include "platform/maildir/maildir_folders.h"
#include "platform/maildir/message_storage.h"
#include "platform/object_model.h"

namespace stow::maildir {

class MimeStore : public om::NameSpace, public ItemHost, public FolderHost {
 public:
  MimeStore(std::string displayName, std::string secretPath, HeaderAuth auth);

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
  // Where the folder at names lives (see FolderTree::RefFor).
  FolderRef RefFor(const std::vector<std::string>& names) { return folders().RefFor(names); }
  // How messages name the store to the user: "the Maildir at DIR", "imaps://...".
  virtual std::string Location() const = 0;
  // The header block of item entryId of folder dir when the store holds it already
  // (read with the folder, at no cost), else nullopt.
  virtual std::optional<scan::HeaderText> KnownHeader(const std::string& dir,
                                                      const std::string& entryId) {
    (void)dir;
    (void)entryId;
    return std::nullopt;
  }

  // A new secret was made as the store was opened.
  bool secretCreated() const { return secretCreated_; }
  void SetSecretCreated(bool made) { secretCreated_ = made; }
  // The EntryIDs of the items read so far that carry records made under another
  // secret (the store's was changed or lost since): none of their records is
  // believed, and none of them can be saved (that would drop the records).
  const std::set<std::string>& UnverifiableItems() const { return unverifiable_; }
  // Why each Save that failed since the last call failed (callers may ignore a
  // failed save; the user must still learn of it), oldest first.
  std::vector<std::string> TakeSaveFailures();
  // The EntryID that item `id` of folder dir has now, following the rewrites this
  // store's saves made.
  std::string FollowRewrites(const std::string& dir, std::string id) const;
  // Whether id of folder dir is the name one of this store's saves gave a message.
  bool IsRewriteOfOwn(const std::string& dir, const std::string& id) const;
  // A save gave item `from` of folder dir the EntryID `to`: walks in progress follow it.
  void NoteRewrite(const std::string& dir, const std::string& from, const std::string& to);

  // --- ItemHost
  const HeaderAuth& auth() const override { return auth_; }
  std::string secretPath() const override { return secretPath_; }
  void NoteUnverifiable(const std::string& entryId) override;
  bool IsUnverifiable(const std::string& entryId) const override;
  void NoteSaveFailure(const std::string& description) override;

  // --- FolderHost
  std::string DisplayName() const override { return displayName_; }
  std::shared_ptr<om::Folder> MakeFolder(const FolderRef& ref) override;

 protected:
  std::shared_ptr<MimeStore> Base() {
    return std::static_pointer_cast<MimeStore>(shared_from_this());
  }

 private:
  std::string displayName_, secretPath_;
  HeaderAuth auth_;
  bool secretCreated_ = false;
  std::set<std::string> unverifiable_;
  std::vector<std::string> saveFailures_;
  std::map<std::string, std::map<std::string, std::string>> rewrites_;  // dir -> from -> to
};

}  // namespace stow::maildir
