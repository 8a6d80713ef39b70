#include "platform/maildir/maildir_items.h"

#include <sys/stat.h>

#include <optional>
#include <unordered_set>
#include <utility>

#include "platform/com_error.h"
#include "platform/maildir/folder_watch.h"
#include "platform/maildir/maildir_names.h"
#include "platform/maildir/maildir_store.h"
#include "platform/maildir/store_util.h"
#include "platform/services.h"

namespace stow::maildir {

namespace {

class MaildirEnumerator : public om::ItemEnumerator {
 public:
  // The snapshot is kept as "sub/file" alone (the unique name is a part of the file
  // name): a walk over a hundred thousand messages holds half the memory.
  MaildirEnumerator(std::shared_ptr<MaildirItems> items, const std::vector<Entry>& snapshot)
      : items_(std::move(items)) {
    snapshot_.reserve(snapshot.size());
    for (const auto& e : snapshot) snapshot_.push_back(e.sub + "/" + e.file);
  }

  std::shared_ptr<om::Item> Next() override {
    const auto& store = items_->store();
    const std::string& dir = items_->ref().dir;
    while (index_ < snapshot_.size()) {
      std::string& kept = snapshot_[index_++];
      std::size_t slash = kept.find('/');
      Entry e{"", kept.substr(0, slash), kept.substr(slash + 1)};
      e.unique = MaildirFileName::Parse(e.file).unique;
      std::string().swap(kept);
      // An item rewritten before the walk reached it is visited under its new name;
      // one rewritten after it was visited has a name the snapshot never held.
      std::string current = store->FollowRewrites(dir, e.unique);
      if (!visited_.insert(current).second) continue;
      std::optional<Entry> found;
      // The look that finds the file also gives the item its version key: a sweep
      // over messages it has met before then looks at each file once.
      struct stat st {};
      std::string key;
      if (current == e.unique && stat(e.PathIn(dir).c_str(), &st) == 0) {
        found = e;
        if (S_ISREG(st.st_mode)) key = MarkCache::KeyOf(st);
      } else {
        found = FindByUnique(dir, current);
      }
      if (!found) {
        TakeOnRewritesOf(e);
        continue;  // deleted, or rewritten by another program
      }
      return store->MakeItem(items_->ref(), found->sub, found->file, std::move(key));
    }
    if (!ended_) store->WalkedFolder(dir);
    ended_ = true;
    return nullptr;
  }

 private:
  // Another program's save gives a message a new unique name that keeps its delivery
  // time, after the snapshot was taken: the walk takes on the names of that time it
  // has not seen, so that the message is not passed over as deleted. (A message
  // delivered in the same second is taken on too; one of this store's own rewrites
  // is not: the walk has visited it under its old name.)
  void TakeOnRewritesOf(const Entry& gone) {
    auto when = DeliveryTimeOfUnique(gone.unique);
    if (!when) return;
    const auto& store = items_->store();
    const std::string& dir = items_->ref().dir;
    if (!knownMade_) {
      for (std::size_t i = index_; i < snapshot_.size(); ++i)
        known_.insert(
            MaildirFileName::Parse(snapshot_[i].substr(snapshot_[i].find('/') + 1)).unique);
      knownMade_ = true;
    }
    for (const auto& e : Listing(dir)) {
      if (DeliveryTimeOfUnique(e.unique) != when || visited_.count(e.unique) ||
          !known_.insert(e.unique).second)
        continue;
      if (!store->IsRewriteOfOwn(dir, e.unique)) snapshot_.push_back(e.sub + "/" + e.file);
    }
  }

  std::shared_ptr<MaildirItems> items_;
  std::vector<std::string> snapshot_;
  std::size_t index_ = 0;
  bool ended_ = false;
  std::unordered_set<std::string> visited_;
  // The unique names still to visit or taken on, made at the first message gone.
  std::unordered_set<std::string> known_;
  bool knownMade_ = false;
};

}  // namespace

MaildirItems::MaildirItems(std::shared_ptr<MaildirStore> store, FolderRef ref)
    : store_(std::move(store)), ref_(std::move(ref)) {}

MaildirItems::~MaildirItems() {
  if (watch_ && loop_) loop_->UnwatchFd(watch_->fd());
}

std::int64_t MaildirItems::Count() {
  std::int64_t n = 0;
  if (ref_.dir.empty()) return 0;
  for (const char* sub : {"cur", "new"})
    ForEachMessage(ref_.dir, sub, [&](const std::string&) { ++n; });
  return n;
}

std::shared_ptr<om::Item> MaildirItems::Item(std::int64_t index) {
  const auto& list = Cached();
  if (index < 1 || index > static_cast<std::int64_t>(list.size()))
    Raise(errnum::kSubscriptOutOfRange, kSource, "Array index out of bounds");
  const Entry& e = list[static_cast<std::size_t>(index - 1)];
  return store_->MakeItem(ref_, e.sub, e.file);
}

std::unique_ptr<om::ItemEnumerator> MaildirItems::Enumerate() {
  return std::make_unique<MaildirEnumerator>(Self(), Listing(ref_.dir));
}

Event<std::shared_ptr<om::Item>>& MaildirItems::ItemAdd() {
  StartWatching();
  return itemAdd_;
}

void MaildirItems::Expect(const std::string& unique) {
  if (watch_) watch_->Expect(unique);
}

std::shared_ptr<MaildirItems> MaildirItems::Self() {
  return std::static_pointer_cast<MaildirItems>(shared_from_this());
}

const std::vector<Entry>& MaildirItems::Cached() {
  auto stamp = [&] {
    // A fingerprint of both directories (unsigned: it is meant to wrap).
    std::uint64_t s = 0;
    for (const char* sub : {"cur", "new"}) {
      struct stat st {};
      if (stat((ref_.dir + "/" + sub).c_str(), &st) == 0)
        s = s * 1000003u + static_cast<std::uint64_t>(st.st_mtim.tv_sec) * 1000000000u +
            static_cast<std::uint64_t>(st.st_mtim.tv_nsec) + static_cast<std::uint64_t>(st.st_size);
    }
    return s;
  }();
  if (!cacheValid_ || stamp != cacheStamp_) {
    cache_ = Listing(ref_.dir);
    cacheStamp_ = stamp;
    cacheValid_ = true;
  }
  return cache_;
}

void MaildirItems::StartWatching() {
  if (watch_ || ref_.names.empty() || ref_.itemType != om::olMailItem) return;
  platform::MessageLoop* loop = platform::Platform().loop;
  if (!loop) return;
  store_->folders().Materialize(ref_);
  std::weak_ptr<MaildirItems> weak = Self();
  watch_ = std::make_unique<FolderWatch>(
      ref_.dir, [weak](const std::vector<std::pair<std::string, std::string>>& fresh) {
        auto self = weak.lock();
        if (!self) return;
        for (const auto& [sub, file] : fresh) {
          // A file that is gone again by the time the loop runs was a passing one.
          if (!FileIdentity::Of(self->ref_.dir + "/" + sub + "/" + file)) continue;
          self->itemAdd_.Raise(self->store_->MakeItem(self->ref_, sub, file));
        }
      });
  loop_ = loop;
  FolderWatch* w = watch_.get();
  loop->WatchFd(w->fd(), [weak, w] {
    if (auto self = weak.lock())
      if (self->watch_.get() == w) w->ReadEvents();
  });
}

}  // namespace stow::maildir
