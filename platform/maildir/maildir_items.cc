#include "platform/maildir/maildir_items.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <unordered_map>
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

// The status of the message files of a long walk, taken on the second core a little
// ahead of the walk: a sweep over messages it has met before spends most of its time
// looking at each file, and the rest making and asking its item. Each file is looked
// at by whichever of the two gets to it first; neither waits for the other.
class LookAhead {
 public:
  struct Look {
    bool found = false;
    std::string key;  // MarkCache::KeyOf, "" for a file that is not a regular one
    std::chrono::steady_clock::time_point taken;

    // The file name in the folder open as dirFd (AT_FDCWD: name is a path), now.
    static Look At(int dirFd, const char* name) {
      Look look;
      struct stat st {};
      look.found = fstatat(dirFd, name, &st, 0) == 0;
      if (look.found && S_ISREG(st.st_mode)) look.key = MarkCache::KeyOf(st);
      look.taken = std::chrono::steady_clock::now();
      return look;
    }
  };

  // names: the walk's listing, which outlives this; fds: the folder's cur/ and new/.
  LookAhead(const MessageNames& names, const int (&fds)[2])
      : names_(names), count_(names.size()), fds_{fds[0], fds[1]} {
    thread_ = std::thread([this] { Run(); });
  }
  ~LookAhead() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    wake_.notify_one();
    thread_.join();
  }
  LookAhead(const LookAhead&) = delete;
  LookAhead& operator=(const LookAhead&) = delete;

  // The looker's look at entry i, or nothing when the walk got there first and is to
  // look itself (the looker then goes on after it); the walk asks for each entry
  // once, in order, and is then done with it.
  std::optional<Look> Take(std::size_t i) {
    std::optional<Look> look;
    std::size_t claimed = claimed_.load();
    while (claimed <= i && !claimed_.compare_exchange_weak(claimed, i + 1)) {
    }
    // One the looker is still looking at is looked at again rather than waited for.
    Slot& slot = slots_[i % kLead];
    if (claimed > i && slot.entry.load(std::memory_order_acquire) == i + 1)
      look = std::move(slot.look);
    released_.store(i + 1);
    // The looker, when it got too far ahead, sleeps until the walk is half way there.
    if (asleep_.load() && i + 1 >= wakeAt_.load()) {
      std::lock_guard<std::mutex> lock(mutex_);
      wake_.notify_one();
    }
    return look;
  }

 private:
  // How far ahead the looker may go: far enough to keep the walk fed, near enough
  // that a look is a moment old when it is used.
  static constexpr std::size_t kLead = 256, kNear = 8, kJump = 48;
  struct Slot {
    std::atomic<std::size_t> entry{0};  // 1 + the entry whose look the slot holds
    Look look;
  };

  void Run() {
    for (;;) {
      std::size_t i = claimed_.load();
      if (i >= count_) return;
      std::size_t walked = released_.load();
      if (i >= walked + kLead) {
        std::unique_lock<std::mutex> lock(mutex_);
        wakeAt_.store(i - kLead / 2);
        asleep_.store(true);
        wake_.wait(lock, [&] { return stop_ || released_.load() >= wakeAt_.load(); });
        asleep_.store(false);
        if (stop_) return;
        continue;
      }
      // Caught up by the walk: the looker leaves it the next few files and looks further
      // on, so that the two do not keep meeting at the same file.
      std::size_t at = i;
      if (i < walked + kNear) at = std::max(i, std::min(walked + kJump, count_ - 1));
      if (!claimed_.compare_exchange_weak(i, at + 1)) continue;
      i = at;
      Look look;
      try {
        NameParts parts = PartsOf(names_[i]);
        look = Look::At(fds_[parts.sub == "cur" ? 0 : 1], parts.file.data());
      } catch (const std::exception&) {
        look = Look{};  // taken long ago: the walk looks itself
      }
      // The walk is done with the slot's last entry (i - kLead): it released it before
      // i was claimed above.
      Slot& slot = slots_[i % kLead];
      slot.look = std::move(look);
      slot.entry.store(i + 1, std::memory_order_release);
    }
  }

  const MessageNames& names_;
  const std::size_t count_;
  const int fds_[2];
  Slot slots_[kLead];
  // The entries looked at or being looked at (by either), the entries the walk is
  // done with, and the looker's sleep.
  std::atomic<std::size_t> claimed_{0}, released_{0}, wakeAt_{0};
  std::atomic<bool> asleep_{false};
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;  // under mutex_
  std::thread thread_;
};

class MaildirEnumerator : public om::ItemEnumerator {
 public:
  MaildirEnumerator(std::shared_ptr<MaildirItems> items, std::shared_ptr<const MessageNames> names)
      : items_(std::move(items)), names_(std::move(names)) {}
  ~MaildirEnumerator() override {
    ahead_.reset();
    for (int fd : subFds_)
      if (fd >= 0) close(fd);
  }

  std::shared_ptr<om::Item> Next() override {
    const auto& store = items_->store();
    const std::string& dir = items_->ref().dir;
    if (!started_) Start();
    while (index_ < names_->size() + takenOn_.size()) {
      std::size_t at = index_++;
      bool listed = at < names_->size();
      std::optional<LookAhead::Look> look;
      if (ahead_ && listed) look = ahead_->Take(at);
      NameParts parts = PartsOf(listed ? (*names_)[at] : takenOn_[at - names_->size()]);
      // Two files of one message (in conflict, or caught moving from new/ to cur/)
      // are listed side by side: the message is visited once.
      if (listed) {
        if (at > 0 && parts.unique == lastUnique_) continue;
        lastUnique_ = parts.unique;
      }
      std::string unique(parts.unique);
      // An item rewritten before the walk reached it is visited under its new name;
      // one rewritten after it was visited has a name the listing never held.
      std::string current = store->FollowRewrites(dir, unique);
      if (current != unique) {
        // Met before under that name (a file of this process's rewrite put back).
        if (PositionOfUnique(*names_, current) < at) continue;
        if (!followed_.insert(current).second) continue;
      } else if (!followed_.empty() && followed_.count(current)) {
        continue;
      }
      // The look that finds the file also gives the item its version key: a sweep
      // over messages it has met before then looks at each file once, by its name
      // in the folder it was listed in (no walk down the whole path).
      std::string sub(parts.sub), file(parts.file);
      if (current == unique) {
        if (!look || std::chrono::steady_clock::now() - look->taken > kLookLife)
          look = LookAt(sub, file);
        if (look->found)
          return store->MakeItem(items_->ref(), sub, file, std::move(look->key), look->taken);
      }
      if (auto found = FindByUnique(dir, current))
        return store->MakeItem(items_->ref(), found->sub, found->file);
      // Deleted, or rewritten by another program.
      TakeOnRewritesOf(Entry{std::move(unique), std::move(sub), std::move(file)});
    }
    if (!ended_) store->WalkedFolder(dir);
    ended_ = true;
    ahead_.reset();
    return nullptr;
  }

 private:
  // A walk long enough to be worth a second thread looks ahead of itself.
  static constexpr std::size_t kLookAheadFrom = 256;
  // A look the looker took stands for the file while it is this fresh (the looker is
  // a few hundred microseconds ahead): a file another program renamed, rewrote or
  // deleted since is found as the walk itself would.
  static constexpr std::chrono::milliseconds kLookLife{2};

  void Start() {
    started_ = true;
    for (int i = 0; i < 2; ++i) {
      std::string path = items_->ref().dir + (i == 0 ? "/cur" : "/new");
      subFds_[i] = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    }
    if (names_->size() < kLookAheadFrom || subFds_[0] < 0 || subFds_[1] < 0) return;
    try {
      ahead_ = std::make_unique<LookAhead>(*names_, subFds_);
    } catch (const std::system_error&) {
      // No thread to be had: the walk looks at each file itself.
    }
  }

  LookAhead::Look LookAt(const std::string& sub, const std::string& file) {
    int fd = subFds_[sub == "cur" ? 0 : 1];
    if (fd >= 0) return LookAhead::Look::At(fd, file.c_str());
    return LookAhead::Look::At(AT_FDCWD, (items_->ref().dir + "/" + sub + "/" + file).c_str());
  }

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
      for (const std::string& name : *names_) known_.emplace(PartsOf(name).unique);
      knownMade_ = true;
    }
    // The message itself was not visited: seen again under another name (renamed
    // again while it was looked for), it is taken on too, a few times at most.
    if (++missed_[gone.unique] <= 3) known_.erase(gone.unique);
    for (const auto& e : Listing(dir)) {
      if (DeliveryTimeOfUnique(e.unique) != when || followed_.count(e.unique) ||
          !known_.insert(e.unique).second)
        continue;
      if (!store->IsRewriteOfOwn(dir, e.unique)) takenOn_.push_back(e.sub + "/" + e.file);
    }
  }

  std::shared_ptr<MaildirItems> items_;
  // The listing the walk visits (shared with the folder's watch), then the names it
  // took on.
  std::shared_ptr<const MessageNames> names_;
  std::vector<std::string> takenOn_;
  // cur/ and new/, opened when the walk starts (-1: failed).
  int subFds_[2] = {-1, -1};
  bool started_ = false;
  std::size_t index_ = 0;
  bool ended_ = false;
  std::string_view lastUnique_;
  // The new names of the rewrites the walk followed.
  std::unordered_set<std::string> followed_;
  // The unique names of the listing and those taken on, made at the first message
  // gone.
  std::unordered_set<std::string> known_;
  bool knownMade_ = false;
  // How often each message was not found where the walk looked for it.
  std::unordered_map<std::string, int> missed_;
  std::unique_ptr<LookAhead> ahead_;
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
  return static_cast<std::int64_t>(Cached()->size());
}

std::shared_ptr<om::Item> MaildirItems::Item(std::int64_t index) {
  const auto& list = *Cached();
  if (index < 1 || index > static_cast<std::int64_t>(list.size()))
    Raise(errnum::kSubscriptOutOfRange, kSource, "Array index out of bounds");
  NameParts parts = PartsOf(list[static_cast<std::size_t>(index - 1)]);
  return store_->MakeItem(ref_, std::string(parts.sub), std::string(parts.file));
}

std::unique_ptr<om::ItemEnumerator> MaildirItems::Enumerate() {
  store_->PrefetchMarks();
  // The walk takes the listing over; the next look at the folder lists it again.
  Cached();
  cacheValid_ = false;
  return std::make_unique<MaildirEnumerator>(Self(), std::exchange(cache_, nullptr));
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

const std::shared_ptr<const MessageNames>& MaildirItems::Cached() {
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
    cache_ = std::make_shared<const MessageNames>(ListMessageNames(ref_.dir));
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
  store_->PrefetchMarks();
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
      [this] {
        // The listing stays for the count and the walk of a start-up sweep.
        cacheValid_ = false;
        return Cached();
      });
  loop_ = loop;
  FolderWatch* w = watch_.get();
  loop->WatchFd(w->fd(), [weak, w] {
    if (auto self = weak.lock())
      if (self->watch_.get() == w) w->ReadEvents();
  });
}

}  // namespace stow::maildir
