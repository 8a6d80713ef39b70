#pragma once
// One message of a Maildir folder as the item core sees it (message_storage.h).
//
// EntryID is the unique part of the file name (before the first ',' or ':'), so it
// survives flag changes and moves from new/ to cur/: wherever a mail client has
// renamed the file, it is found again by that name. Two files with the same unique
// part in one folder put the item in conflict (kItemInConflict). The version read is
// the file's identity (inode, size, modification time) when it was first read;
// Replace saves by the protocol of maildir_save.h and gives the item the new
// message's unique name. Delete moves the file to Deleted Items (a new unique name
// there when the name is taken); from Deleted Items it removes it.

#include <sys/stat.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "platform/maildir/maildir_files.h"
#include "platform/maildir/maildir_folders.h"
#include "platform/maildir/message_storage.h"

namespace stow::maildir {

class MaildirStore;

class MaildirMessage : public MessageStorage {
 public:
  // The message file `file` of ref's sub-folder sub ("cur" or "new").
  MaildirMessage(std::shared_ptr<MaildirStore> store, FolderRef ref, std::string sub,
                 std::string file);
  // The version key of the file taken by the folder walk that found it, at taken (an
  // instant ago): a VersionKey asked for at once gives it instead of looking at the
  // file again. An item kept for later (a listing) looks again: its file may have
  // changed since.
  void SetWalkKey(std::string key, std::chrono::steady_clock::time_point taken) {
    walkKey_ = std::move(key);
    walkKeyTaken_ = taken;
  }
  // A new mail that Replace saves into ref.
  MaildirMessage(std::shared_ptr<MaildirStore> store, FolderRef ref);

  std::string EntryId() const override { return unique_; }
  std::string Describe() const override { return Path(); }
  bool Gone() const override { return gone_; }
  std::shared_ptr<om::Folder> Folder() override;
  bool InConflict() override;
  int Open() override;
  std::optional<std::int64_t> DeliveryTime() override;
  std::optional<std::int64_t> StoredTime() override;
  std::string WorkFolder() const override;
  std::string VersionKey() const override;
  void CheckReplaceable(const std::string& title) override;
  void Replace(const std::string& title, std::int64_t deliverySeconds,
               const std::function<void(int fd)>& write) override;
  void Delete(const std::function<std::int64_t()>& deliverySeconds) override;
  void DeletePermanently() override;

 private:
  std::string Path() const { return ref_.dir + "/" + sub_ + "/" + file_; }
  // Finds the file by its unique name, wherever another program has put it; raises
  // kObjectGone when it is nowhere.
  Entry Locate();
  bool HasDuplicate(const Entry& at);

  std::shared_ptr<MaildirStore> store_;
  FolderRef ref_;
  std::string sub_, file_, unique_;
  std::optional<FileIdentity> read_;  // the version read
  // The message a save replaces, as CheckReplaceable found it.
  std::optional<Entry> old_;
  struct stat oldSt_ {};
  bool gone_ = false;
  mutable std::string walkKey_;
  std::chrono::steady_clock::time_point walkKeyTaken_;
};

}  // namespace stow::maildir
