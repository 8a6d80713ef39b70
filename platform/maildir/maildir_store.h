#pragma once
// The real mail store: the host object model over a Maildir++ tree, messages read
// and written with GMime. This is the store object and where its pieces meet; each
// piece says what it owns and promises in its own header:
//
//   maildir_folders.h   the folder tree, folder names, default folders
//   maildir_items.h     the items of a folder: listing, walks, new-mail notification
//   maildir_message.h   one message file as the item core's storage
//   maildir_save.h      the save and recovery protocol (what other tools see of a
//                       rewrite, what a crash leaves and who finishes it)
//   maildir_files.h     listing cur/ and new/, finding a file, file identity
//   mime_item.h         the item over a MIME message (headers, bodies, class,
//                       conversation), through message_storage.h
//   item_attachments.h  attachments, and putting detached parts back (part_restore.h)
//   item_marks.h        the authenticated records in the headers (billing, user
//                       properties, hidden flags, key ids), with header_auth.h and
//                       store_secret.h
//   mime.h              every GMime call
//   mime_store.h        what it shares with the IMAP store: the namespace, the
//                       renames its saves made (a walk follows them), the items
//                       whose records another secret made, the failed saves

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/maildir/header_auth.h"
#include "platform/maildir/maildir_folders.h"
#include "platform/maildir/maildir_save.h"
#include "platform/maildir/mark_cache.h"
#include "platform/maildir/message_storage.h"
#include "platform/maildir/mime_store.h"
#include "platform/object_model.h"

namespace stow::maildir {

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
  // The processed marks read are kept between runs (mark_cache.h), in a file named
  // after the store and its secret.
  bool cacheMarks = false;
  // Runs in a rewrite between its last look at the message it replaces and the
  // exchange (tests put another writer there).
  std::function<void()> beforeExchange;
  // Runs after each rewrite of a saved message with its new file's path and its
  // Message-ID (a rewritten message is a new file, which indexers see as a rename).
  std::function<void(const std::string& path, const std::string& messageId)> afterRewrite;
};

class MaildirStore : public MimeStore {
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

  const std::string& root() const { return root_; }
  const std::string& displayName() const { return options_.displayName; }
  const Options& options() const { return options_; }
  std::string Location() const override { return "the Maildir at " + root_; }

  // --- ItemHost
  std::unique_ptr<MessageStorage> NewMailStorage() override;
  void Rewritten(const std::string& where, const std::string& messageId) override;
  std::optional<std::string> CachedMark(const std::string& where, const std::string& key) override;
  void RememberMark(const std::string& where, const std::string& key,
                    const std::string& mark) override;
  // A walk starts, or a watch whose start-up sweep walks next: the processed marks
  // kept are read meanwhile (mark_cache.h).
  void PrefetchMarks() {
    if (marks_) marks_->Prefetch();
  }
  // Every message of the folder dir was looked at (a walk reached its end): the
  // processed marks learnt are written for the next run.
  void WalkedFolder(const std::string& dir);

  // --- FolderHost
  const FolderTree& folders() const override { return folders_; }
  std::shared_ptr<om::Items> FolderItems(const FolderRef& ref) override;

  // --- used by the store's own objects
  // The items of ref: one object per folder while it is in use. The first listing of
  // a folder finishes the saves a crash interrupted there.
  std::shared_ptr<MaildirItems> ItemsOf(const FolderRef& ref);
  // The item of the message file `fileName` of ref's sub-folder sub.
  // walkKey: the file's version key (mark_cache.h) when the caller has just taken it,
  // at keyTaken.
  std::shared_ptr<om::Item> MakeItem(
      const FolderRef& ref, const std::string& sub, const std::string& fileName,
      std::string walkKey = "",
      std::chrono::steady_clock::time_point keyTaken = std::chrono::steady_clock::now());
  // A file of unique name `unique` is about to appear in dir, made by this store: its
  // watcher does not take it for a delivery.
  void ExpectOwnFile(const std::string& dir, const std::string& unique);

 private:
  MaildirStore(std::string root, Options options, HeaderAuth auth);
  std::shared_ptr<MaildirStore> Self();

  std::string root_;
  Options options_;
  MaildirTree folders_;
  std::map<std::string, std::weak_ptr<MaildirItems>> items_;  // dir -> collection
  std::unique_ptr<MarkCache> marks_;
};

}  // namespace stow::maildir
