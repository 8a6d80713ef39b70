#pragma once
// The items of one Maildir folder: counting, indexing, walking and new-mail
// notification.
//
// Item(i) indexes the messages of cur/ and new/ by unique name, listed again
// whenever either directory changed. A walk (Enumerate) lists the folder once and
// visits every message of that listing exactly once: one that a save of this store
// renamed before the walk reached it is visited under its new name, one deleted
// meanwhile is skipped, and a message saved after its visit is not visited again.
// ItemAdd starts watching the folder's new/ and cur/ through inotify on
// platform::Platform().loop (when there is one): a file whose unique name the
// folder did not hold, arriving from outside the folder, is a new item; flag
// renames, new/ to cur/ moves and rewrites (by any process of this program) are not.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/maildir/maildir_files.h"
#include "platform/maildir/maildir_folders.h"
#include "platform/message_loop.h"
#include "platform/object_model.h"

namespace stow::maildir {

class FolderWatch;
class MaildirStore;

class MaildirItems : public om::Items {
 public:
  MaildirItems(std::shared_ptr<MaildirStore> store, FolderRef ref);
  ~MaildirItems() override;

  std::int64_t Count() override;
  std::shared_ptr<om::Item> Item(std::int64_t index) override;
  std::unique_ptr<om::ItemEnumerator> Enumerate() override;
  Event<std::shared_ptr<om::Item>>& ItemAdd() override;

  // A file with this unique name is about to appear, made by this store: not new mail.
  void Expect(const std::string& unique);
  const FolderRef& ref() const { return ref_; }
  const std::shared_ptr<MaildirStore>& store() const { return store_; }

 private:
  std::shared_ptr<MaildirItems> Self();
  const std::shared_ptr<const MessageNames>& Cached();
  void StartWatching();

  std::shared_ptr<MaildirStore> store_;
  FolderRef ref_;
  Event<std::shared_ptr<om::Item>> itemAdd_;
  std::unique_ptr<FolderWatch> watch_;
  platform::MessageLoop* loop_ = nullptr;
  std::shared_ptr<const MessageNames> cache_;
  std::uint64_t cacheStamp_ = 0;
  bool cacheValid_ = false;
};

}  // namespace stow::maildir
