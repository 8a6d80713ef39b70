#include "platform/maildir/maildir_items.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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
    visited_.reserve(snapshot.size());
  }
  ~MaildirEnumerator() override {
    for (int fd : subFds_)
      if (fd >= 0) close(fd);
  }

  std::shared_ptr<om::Item> Next() override {
    const auto& store = items_->store();
    const std::string& dir = items_->ref().dir;
    while (index_ < snapshot_.size()) {
      std::string kept = std::move(snapshot_[index_++]);
      std::size_t slash = kept.find('/');
      std::string_view sub(kept.data(), slash), file(kept.c_str() + slash + 1);
      std::string unique(UniqueOf(file));
      // An item rewritten before the walk reached it is visited under its new name;
      // one rewritten after it was visited has a name the snapshot never held.
      std::string current = store->FollowRewrites(dir, unique);
      if (!visited_.insert(current).second) continue;
      // The look that finds the file also gives the item its version key: a sweep
      // over messages it has met before then looks at each file once, by its name
      // in the folder it was listed in (no walk down the whole path).
      struct stat st {};
      if (current == unique && StatIn(sub, file.data(), st)) {
        std::string key = S_ISREG(st.st_mode) ? MarkCache::KeyOf(st) : std::string();
        return store->MakeItem(items_->ref(), std::string(sub), std::string(file), std::move(key));
      }
      if (auto found = FindByUnique(dir, current))
        return store->MakeItem(items_->ref(), found->sub, found->file);
      // Deleted, or rewritten by another program.
      TakeOnRewritesOf(Entry{std::move(unique), std::string(sub), std::string(file)});
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

  // The status of the message file `file` of the folder's sub-folder sub.
  bool StatIn(std::string_view sub, const char* file, struct stat& st) {
    int& fd = subFds_[sub == "cur" ? 0 : 1];
    if (fd == -2) {
      std::string path = items_->ref().dir + "/" + std::string(sub);
      fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    }
    if (fd >= 0) return fstatat(fd, file, &st, 0) == 0;
    return stat((items_->ref().dir + "/" + std::string(sub) + "/" + file).c_str(), &st) == 0;
  }

  std::shared_ptr<MaildirItems> items_;
  // cur/ and new/, opened at the first look into each (-2: not yet; -1: failed).
  int subFds_[2] = {-2, -2};
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
  // From the listing that a walk started next takes (a batch counts its folder, then
  // walks it): a folder of a hundred thousand messages is listed once for both.
  return static_cast<std::int64_t>(Cached().size());
}

std::shared_ptr<om::Item> MaildirItems::Item(std::int64_t index) {
  const auto& list = Cached();
  if (index < 1 || index > static_cast<std::int64_t>(list.size()))
    Raise(errnum::kSubscriptOutOfRange, kSource, "Array index out of bounds");
  const Entry& e = list[static_cast<std::size_t>(index - 1)];
  return store_->MakeItem(ref_, e.sub, e.file);
}

std::unique_ptr<om::ItemEnumerator> MaildirItems::Enumerate() {
  store_->PrefetchMarks();
  // The walk takes the listing over; the next look at the folder lists it again.
  Cached();
  cacheValid_ = false;
  return std::make_unique<MaildirEnumerator>(Self(), std::exchange(cache_, {}));
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
      ref_.dir,
      [weak](const std::vector<std::pair<std::string, std::string>>& fresh) {
        auto self = weak.lock();
        if (!self) return;
        for (const auto& [sub, file] : fresh) {
          // A file that is gone again by the time the loop runs was a passing one.
          if (!FileIdentity::Of(self->ref_.dir + "/" + sub + "/" + file)) continue;
          self->itemAdd_.Raise(self->store_->MakeItem(self->ref_, sub, file));
        }
      },
      [this](std::unordered_set<std::string>& known) {
        // The listing stays for the count and the walk of a start-up sweep.
        cacheValid_ = false;
        const auto& listing = Cached();
        known.reserve(listing.size());
        for (const auto& e : listing) known.insert(e.unique);
      });
  loop_ = loop;
  FolderWatch* w = watch_.get();
  loop->WatchFd(w->fd(), [weak, w] {
    if (auto self = weak.lock())
      if (self->watch_.get() == w) w->ReadEvents();
  });
}

}  // namespace stow::maildir
