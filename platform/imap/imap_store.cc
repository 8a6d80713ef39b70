#include "platform/imap/imap_store.h"

#include <glib.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <optional>
#include <unordered_set>
#include <utility>

#include "platform/maildir/maildir_names.h"
#include "platform/maildir/mime.h"
#include "platform/maildir/mime_item.h"
#include "platform/maildir/store_secret.h"
#include "platform/maildir/store_util.h"
#include "platform/message_loop.h"
#include "platform/services.h"

namespace stow::imap {

using maildir::FolderRef;
using maildir::SameName;

namespace {

constexpr const char* kSource = "IMAP store";

std::string ToLf(std::string text) {
  std::size_t out = 0;
  for (std::size_t i = 0; i < text.size(); ++i)
    if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) text[out++] = text[i];
  text.resize(out);
  return text;
}

[[noreturn]] void RaiseGone(const std::string& what) {
  Raise(errnum::kObjectGone, kSource,
        what + " has been changed, moved or deleted by another program since it was read");
}

// A descriptor reading bytes from their start.
int MemoryFile(const std::string& bytes) {
  int fd = memfd_create("stowbright-imap", MFD_CLOEXEC);
  if (fd < 0) maildir::RaiseErrno(errno, "Cannot hold a message in memory", "memfd");
  for (std::size_t done = 0; done < bytes.size();) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      int err = errno;
      close(fd);
      maildir::RaiseErrno(err, "Cannot hold a message in memory", "memfd");
    }
    done += static_cast<std::size_t>(n);
  }
  lseek(fd, 0, SEEK_SET);
  return fd;
}

// What write puts into a descriptor.
std::string Written(const std::function<void(int fd)>& write) {
  int fd = MemoryFile("");
  std::string bytes;
  try {
    write(fd);
    off_t size = lseek(fd, 0, SEEK_END);
    bytes.resize(static_cast<std::size_t>(std::max<off_t>(size, 0)));
    if (pread(fd, bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size()))
      maildir::RaiseErrno(errno, "Cannot read back a message written in memory", "memfd");
  } catch (...) {
    close(fd);
    throw;
  }
  close(fd);
  return bytes;
}

}  // namespace

// The mailboxes of the account as a folder tree. The list is read again when it is
// more than a moment old, so that folders other clients made are seen.
class ImapTree : public maildir::FolderTree {
 public:
  explicit ImapTree(Connector& conn) : conn_(conn) {}

  void Materialize(FolderRef& ref) const override {
    if (ref.dir.empty()) Raise(errnum::kFail, kSource, "The folder cannot hold items");
    if (ref.exists) return;
    try {
      conn_.Run([&](Session& s) { s.Create(ref.dir); });
    } catch (const ImapError& e) {
      // Made meanwhile by another client: as good as made here.
      if (e.kind() != ImapError::Kind::kRefused || !Listed(true, ref.dir)) throw;
    }
    list_.reset();
    ref.exists = true;
  }

 protected:
  std::vector<Scanned> Scan() const override {
    std::vector<Scanned> out;
    for (const MailboxInfo& m : Mailboxes(false)) {
      if (!m.selectable) continue;
      std::vector<std::string> names;
      std::string rest = m.displayName;
      for (std::size_t at; m.delimiter && (at = rest.find(m.delimiter)) != std::string::npos;) {
        names.push_back(rest.substr(0, at));
        rest.erase(0, at + 1);
      }
      names.push_back(rest);
      if (SameName(names[0], "INBOX")) {
        if (names.size() == 1) continue;  // the Inbox itself
        names[0] = "Inbox";
      }
      out.push_back({names, m.name});
    }
    return out;
  }
  std::string InboxDir() const override { return "INBOX"; }
  std::string PlaceOf(const std::vector<std::string>& names, bool* exists) const override {
    char delimiter = '/';
    for (const MailboxInfo& m : Mailboxes(false))
      if (m.delimiter) delimiter = m.delimiter;
    std::string mailbox;
    for (std::size_t i = 0; i < names.size(); ++i) {
      std::string part = i == 0 && SameName(names[0], "Inbox") ? "INBOX" : names[i];
      std::replace(part.begin(), part.end(), delimiter, '_');
      mailbox += (i ? std::string(1, delimiter) : "") + maildir::EncodeModifiedUtf7(part);
    }
    *exists = Listed(false, mailbox);
    return mailbox;
  }

 private:
  const std::vector<MailboxInfo>& Mailboxes(bool fresh) const {
    auto now = std::chrono::steady_clock::now();
    if (fresh || !list_ || now - listedAt_ > std::chrono::seconds(2)) {
      list_ = conn_.Run([](Session& s) { return s.List(); });
      listedAt_ = now;
    }
    return *list_;
  }
  bool Listed(bool fresh, const std::string& mailbox) const {
    const auto& all = Mailboxes(fresh);
    return std::any_of(all.begin(), all.end(),
                       [&](const MailboxInfo& m) { return m.name == mailbox && m.selectable; });
  }

  Connector& conn_;
  mutable std::optional<std::vector<MailboxInfo>> list_;
  mutable std::chrono::steady_clock::time_point listedAt_;
};

namespace {

// One message on the server as the item core's storage (maildir/message_storage.h).
class ImapMessage : public maildir::MessageStorage {
 private:
  const FetchedMessage& Summary() {
    if (!uid_ || store_->Removed(ref_.dir, uid_)) RaiseGone("The item");
    return store_->Summary(ref_.dir, uidValidity_, uid_);
  }
  std::string Body() {
    if (!uid_ || store_->Removed(ref_.dir, uid_)) RaiseGone("The item");
    return store_->Body(ref_.dir, uidValidity_, uid_);
  }
  void Removed() {
    if (uid_) store_->NoteRemoved(ref_.dir, uid_);
    gone_ = true;
  }
  // Runs op; a message found gone makes the storage gone.
  template <class F>
  auto Guarded(F&& op) {
    try {
      return op();
    } catch (const ComError& e) {
      if (e.Number() == errnum::kObjectGone) gone_ = true;
      throw;
    }
  }

 public:
 public:
  ImapMessage(std::shared_ptr<ImapStore> store, FolderRef ref, std::uint32_t uidValidity,
              std::uint32_t uid)
      : store_(std::move(store)), ref_(std::move(ref)), uidValidity_(uidValidity), uid_(uid) {}

  std::string EntryId() const override {
    return uid_ ? ImapStore::EntryIdOf(uidValidity_, uid_) : std::string();
  }
  std::string Describe() const override {
    std::string where = "\"" + ref_.dir + "\" on " + store_->connector().endpoint().Server();
    return uid_ ? "message " + std::to_string(uid_) + " of " + where : "a new message for " + where;
  }
  bool Gone() const override { return gone_; }
  std::shared_ptr<om::Folder> Folder() override {
    return store_->MakeFolder(store_->RefFor(ref_.names));
  }
  bool InConflict() override { return false; }  // a UID names one message

  int Open() override {
    return MemoryFile(Guarded([&] { return Body(); }));
  }
  maildir::scan::HeaderText ReadHeader() override {
    return {ToLf(Guarded([&] { return Summary().header; })), true};
  }
  std::optional<std::int64_t> DeliveryTime() override {
    if (!uid_) return std::nullopt;
    return Guarded([&] { return Summary().internalDate.seconds; });
  }
  std::optional<std::int64_t> StoredTime() override { return std::nullopt; }
  std::string WorkFolder() const override { return g_get_tmp_dir(); }

  void CheckReplaceable(const std::string&) override {
    if (!uid_)
      store_->folders().Materialize(ref_);
    else
      Guarded([&] { return Summary().uid; });
  }

  void Replace(const std::string&, std::int64_t deliverySeconds,
               const std::function<void(int fd)>& write) override {
    std::string bytes = Written(write);
    if (!uid_) {
      store_->folders().Materialize(ref_);
      // Not retried: an APPEND whose answer was lost may have been stored.
      Session::Appended made = store_->connector().Get().Append(
          ref_.dir, bytes, {"\\Seen", "\\Draft"}, InternalDate{deliverySeconds, 0});
      uidValidity_ = made.uidValidity;
      uid_ = made.uid;
      store_->NoteOwn(ref_.dir, uid_);
      return;
    }
    std::uint32_t now = Guarded([&] {
      return store_->replacer().Replace(ref_.dir, uidValidity_, uid_, bytes, &Summary());
    });
    if (!now) {
      // The journal holds the new version and the next run puts it in place: the
      // save stands (the files it links to must stay), but the run is not a success.
      store_->NoteSaveFailure("The rewrite of " + Describe() + " could not be finished (" +
                              store_->replacer().left() + "); the next run finishes it");
      Removed();
      return;
    }
    store_->NoteOwn(ref_.dir, now);
    store_->NoteRemoved(ref_.dir, uid_);
    store_->NoteRewrite(ref_.dir, EntryId(), ImapStore::EntryIdOf(uidValidity_, now));
    uid_ = now;
  }

  void Delete(const std::function<std::int64_t()>&) override {
    FolderRef bin = store_->folders().DefaultRef(om::olFolderDeletedItems);
    if (uid_ && bin.dir != ref_.dir) {
      Guarded([&] { return Summary().uid; });
      store_->folders().Materialize(bin);
      Guarded([&] {
        return store_->InMailbox(ref_.dir, uidValidity_, [&](Session& s) {
          s.Move({uid_}, bin.dir);
          return 0;
        });
      });
      Removed();
      return;
    }
    DeletePermanently();
  }

  void DeletePermanently() override {
    if (uid_)
      Guarded([&] {
        return store_->InMailbox(ref_.dir, uidValidity_, [&](Session& s) {
          s.MarkDeleted({uid_});
          s.Expunge({uid_});
          return 0;
        });
      });
    Removed();
  }

 private:
  std::shared_ptr<ImapStore> store_;
  FolderRef ref_;
  std::uint32_t uidValidity_, uid_;
  bool gone_ = false;
};

// A walk over the UIDs a folder had when it began; see om::ItemEnumerator.
class ImapEnumerator : public om::ItemEnumerator {
 public:
  ImapEnumerator(std::shared_ptr<ImapStore> store, FolderRef ref, std::uint32_t uidValidity,
                 std::vector<std::uint32_t> snapshot)
      : store_(std::move(store)),
        ref_(std::move(ref)),
        uidValidity_(uidValidity),
        snapshot_(std::move(snapshot)) {}

  std::shared_ptr<om::Item> Next() override {
    while (index_ < snapshot_.size()) {
      std::string id =
          store_->FollowRewrites(ref_.dir, ImapStore::EntryIdOf(uidValidity_, snapshot_[index_++]));
      if (!visited_.insert(id).second) continue;
      auto uid = static_cast<std::uint32_t>(std::stoul(id.substr(id.find('-') + 1)));
      if (store_->Removed(ref_.dir, uid)) continue;
      try {
        store_->Summary(ref_.dir, uidValidity_, uid);  // with the next ones, in a batch
      } catch (const ComError& e) {
        if (e.Number() == errnum::kObjectGone) continue;  // deleted meanwhile
        throw;
      }
      return store_->MakeItem(ref_, uidValidity_, uid);
    }
    return nullptr;
  }

 private:
  std::shared_ptr<ImapStore> store_;
  FolderRef ref_;
  std::uint32_t uidValidity_;
  std::vector<std::uint32_t> snapshot_;
  std::size_t index_ = 0;
  std::unordered_set<std::string> visited_;
};

class ImapItems : public om::Items {
 public:
  ImapItems(std::shared_ptr<ImapStore> store, FolderRef ref)
      : store_(std::move(store)), ref_(std::move(ref)) {}
  ~ImapItems() override {
    if (timer_) loop_->KillTimer(timer_);
    if (retry_) loop_->KillTimer(retry_);
    StopWaking();
  }

  std::int64_t Count() override {
    Relist();
    return static_cast<std::int64_t>(uids_.size());
  }
  std::shared_ptr<om::Item> Item(std::int64_t index) override {
    if (!listed_) Relist();
    // A listing this store changed since is listed again.
    bool stale = std::any_of(uids_.begin(), uids_.end(),
                             [&](std::uint32_t u) { return store_->Removed(ref_.dir, u); });
    if (stale) Relist();
    if (index < 1 || index > static_cast<std::int64_t>(uids_.size()))
      Raise(errnum::kSubscriptOutOfRange, kSource, "Array index out of bounds");
    return store_->MakeItem(ref_, uidValidity_, uids_[static_cast<std::size_t>(index - 1)]);
  }
  std::unique_ptr<om::ItemEnumerator> Enumerate() override {
    Relist();
    return std::make_unique<ImapEnumerator>(store_, ref_, uidValidity_, uids_);
  }
  Event<std::shared_ptr<om::Item>>& ItemAdd() override {
    StartWatching();
    return itemAdd_;
  }

 private:
  void StartWatching() {
    if (timer_ || ref_.names.empty() || ref_.itemType != om::olMailItem) return;
    loop_ = platform::Platform().loop;
    if (!loop_) return;
    store_->folders().Materialize(ref_);
    FromTheEnd();
    timer_ = loop_->SetTimer(store_->options().pollInterval, Later(&ImapItems::Poll));
    Idle();
  }
  // A task calling member on this object while it lives.
  platform::MessageLoop::Task Later(void (ImapItems::*member)()) {
    std::weak_ptr<ImapItems> weak = std::static_pointer_cast<ImapItems>(shared_from_this());
    return [weak, member] {
      if (auto self = weak.lock()) ((*self).*member)();
    };
  }

  // IDLE on a connection of its own, which the store's work never waits for: the
  // server wakes the watch at once, and Poll asks (on the store's connection) what
  // came. A server without IDLE leaves the watch to the poll timer; a lost IDLE
  // connection is opened again after the Connector's growing pauses, and until then
  // the timer polls.
  void Idle() {
    if (retry_) loop_->KillTimer(std::exchange(retry_, 0));
    bool buffered = false;
    try {
      if (!idler_) idler_ = store_->connector().Twin();
      Session& s = idler_->Get();
      if (!s.CanIdle()) return idler_.reset();
      if (!s.selected() || s.selected()->name != ref_.dir) s.Select(ref_.dir);
      idleFd_ = s.StartIdle();
      buffered = s.IdleBuffered();
    } catch (const ImapError& e) {
      return IdleLost(e.Description());
    }
    lost_ = 0;
    loop_->WatchFd(idleFd_, Later(&ImapItems::Woken));
    renew_ = loop_->SetTimer(store_->options().idleRenewal, Later(&ImapItems::Woken));
    if (buffered) loop_->Post(Later(&ImapItems::Woken));
  }
  void StopWaking() {
    if (idleFd_ >= 0) loop_->UnwatchFd(std::exchange(idleFd_, -1));
    if (renew_) loop_->KillTimer(std::exchange(renew_, 0));
  }
  // News from the server (or the renewal's time, or a closed connection).
  void Woken() {
    if (idleFd_ < 0) return;  // a wake-up posted for an IDLE since ended
    StopWaking();
    try {
      idler_->Get().StopIdle();
    } catch (const ImapError& e) {
      return IdleLost(e.Description());
    }
    Poll();
    if (idler_ && !retry_) Idle();
  }
  void IdleLost(const std::string& why) {
    StopWaking();
    if (idler_) idler_->Drop();
    std::chrono::milliseconds pause = store_->connector().Delay(++lost_);
    if (auto& tell = store_->connector().onNotice)
      tell("cannot wait for new mail in \"" + ref_.dir + "\" (polling meanwhile; trying again in " +
           std::to_string(pause.count()) + " ms): " + why);
    retry_ = loop_->SetTimer(pause, Later(&ImapItems::Reconnect));
  }
  void Reconnect() {
    Idle();
    if (idleFd_ >= 0) Poll();  // the mail that came while the connection was away
  }
  // New mail is what comes after the messages there now.
  void FromTheEnd() {
    Relist();
    watchedValidity_ = uidValidity_;
    next_ = uids_.empty() ? 1 : uids_.back() + 1;
  }
  void Poll() {
    std::pair<std::uint32_t, std::vector<std::uint32_t>> fresh;
    try {
      fresh = store_->InMailbox(ref_.dir, 0, [&](Session& s) {
        s.Noop();  // a server may show another session's delivery only after a command
        return std::make_pair(s.selected()->uidValidity, s.SearchFrom(next_));
      });
      if (fresh.first != watchedValidity_) return FromTheEnd();
    } catch (const ComError& e) {
      if (auto& tell = store_->connector().onNotice)
        tell("cannot look for new mail in \"" + ref_.dir +
             "\" (trying again later): " + e.Description());
      return;
    }
    for (std::uint32_t uid : fresh.second) {
      if (uid < next_) continue;  // raised by a Poll nested in a handler of this one
      next_ = std::max(next_, uid + 1);
      if (!store_->IsOwn(ref_.dir, uid)) itemAdd_.Raise(store_->MakeItem(ref_, fresh.first, uid));
    }
  }

  // A folder not made yet holds nothing, until something is written into it.
  void Relist() {
    listed_ = true;
    if (!ref_.exists) ref_ = store_->RefFor(ref_.names);
    if (!ref_.exists || ref_.dir.empty()) {
      uids_.clear();
      return;
    }
    std::tie(uidValidity_, uids_) = store_->List(ref_.dir);
  }

  std::shared_ptr<ImapStore> store_;
  FolderRef ref_;
  std::uint32_t uidValidity_ = 0;
  std::vector<std::uint32_t> uids_;
  bool listed_ = false;
  Event<std::shared_ptr<om::Item>> itemAdd_;
  platform::MessageLoop* loop_ = nullptr;
  platform::TimerId timer_ = 0;
  std::uint32_t watchedValidity_ = 0, next_ = 1;
  std::unique_ptr<Connector> idler_;
  int idleFd_ = -1;
  platform::TimerId renew_ = 0, retry_ = 0;
  int lost_ = 0;  // IDLE connections lost in a row
};

// How many messages of the account carry one of the store's marks.
std::size_t CountMarked(Connector& conn, std::string* example) {
  std::size_t count = 0;
  for (const MailboxInfo& m : conn.Run([](Session& s) { return s.List(); })) {
    if (!m.selectable) continue;
    std::set<std::uint32_t> marked;
    conn.Run([&](Session& s) {
      s.Select(m.name);
      for (const char* header : {maildir::kBillingHeader, maildir::kPropertyHeader})
        for (std::uint32_t uid : s.SearchHeader(header, "k=")) marked.insert(uid);
    });
    if (!marked.empty() && count == 0)
      *example = "message " + std::to_string(*marked.begin()) + " of \"" + m.displayName + "\"";
    count += marked.size();
  }
  return count;
}

}  // namespace

ImapStore::ImapStore(std::unique_ptr<Connector> conn, StoreOptions options,
                     maildir::HeaderAuth auth)
    : MimeStore(
          options.displayName.empty() ? conn->endpoint().user + "@" + conn->endpoint().host
                                      : options.displayName,
          options.secretPath.empty() ? maildir::HeaderAuth::DefaultPath() : options.secretPath,
          std::move(auth)),
      conn_(std::move(conn)),
      tree_(std::make_unique<ImapTree>(*conn_)),
      options_(std::move(options)) {}

ImapStore::~ImapStore() = default;

std::shared_ptr<ImapStore> ImapStore::Self() {
  return std::static_pointer_cast<ImapStore>(shared_from_this());
}

std::shared_ptr<ImapStore> ImapStore::Open(std::unique_ptr<Connector> conn, StoreOptions options) {
  maildir::mime::EnsureInitialized();
  conn->Run([](Session&) { return 0; });
  auto replacer = std::make_unique<Replacer>(
      *conn, options.journalDir.empty() ? DefaultJournalDir(conn->endpoint()) : options.journalDir);
  FinishReport finished = replacer->FinishInterrupted();
  std::string secret =
      options.secretPath.empty() ? maildir::HeaderAuth::DefaultPath() : options.secretPath;
  Connector& c = *conn;
  auto opened =
      maildir::OpenStoreSecret(secret, c.endpoint().Url(), options.newSecret,
                               [&](std::string* example) { return CountMarked(c, example); });
  auto store = std::shared_ptr<ImapStore>(
      new ImapStore(std::move(conn), std::move(options), std::move(opened.auth)));
  store->replacer_ = std::move(replacer);
  store->finished_ = std::move(finished);
  store->SetSecretCreated(opened.created);
  return store;
}

const maildir::FolderTree& ImapStore::folders() const {
  return *tree_;
}

std::unique_ptr<maildir::MessageStorage> ImapStore::NewMailStorage() {
  return std::make_unique<ImapMessage>(Self(), tree_->DefaultRef(om::olFolderDrafts), 0, 0);
}

std::shared_ptr<om::Items> ImapStore::FolderItems(const FolderRef& ref) {
  std::string key = ref.dir.empty() ? "\n" + std::to_string(ref.names.size()) : ref.dir;
  if (auto live = items_[key].lock()) return live;
  auto items = std::make_shared<ImapItems>(Self(), ref);
  items_[key] = items;
  return items;
}

std::shared_ptr<om::Item> ImapStore::MakeItem(const FolderRef& ref, std::uint32_t uidValidity,
                                              std::uint32_t uid) {
  return std::make_shared<maildir::MimeItem>(
      Self(), std::make_unique<ImapMessage>(Self(), ref, uidValidity, uid));
}

ImapStore::Mailbox& ImapStore::CacheOf(const std::string& mailbox, std::uint32_t uidValidity) {
  Mailbox& box = boxes_[mailbox];
  if (box.uidValidity != uidValidity) {
    box = Mailbox{};
    box.uidValidity = uidValidity;
  }
  return box;
}

std::pair<std::uint32_t, std::vector<std::uint32_t>> ImapStore::List(const std::string& mailbox) {
  auto listed = InMailbox(mailbox, 0, [&](Session& s) {
    return std::make_pair(s.selected()->uidValidity, s.SearchAll());
  });
  Mailbox& box = CacheOf(mailbox, listed.first);
  box.order = listed.second;
  // What was removed is no longer listed; a UID is never given again.
  std::erase_if(box.removed, [&](std::uint32_t u) {
    return !std::binary_search(box.order.begin(), box.order.end(), u);
  });
  return listed;
}

std::optional<maildir::scan::HeaderText> ImapStore::KnownHeader(const std::string& mailbox,
                                                                const std::string& entryId) {
  auto box = boxes_.find(mailbox);
  std::size_t dash = entryId.find('-');
  if (box == boxes_.end() || dash == std::string::npos ||
      entryId.substr(0, dash) != std::to_string(box->second.uidValidity))
    return std::nullopt;
  auto k = box->second.known.find(
      static_cast<std::uint32_t>(std::strtoul(entryId.c_str() + dash + 1, nullptr, 10)));
  if (k == box->second.known.end() || !k->second.summary.uid) return std::nullopt;
  return maildir::scan::HeaderText{ToLf(k->second.summary.header), true};
}

bool ImapStore::Removed(const std::string& mailbox, std::uint32_t uid) const {
  auto it = boxes_.find(mailbox);
  return it != boxes_.end() && it->second.removed.count(uid) > 0;
}

void ImapStore::NoteRemoved(const std::string& mailbox, std::uint32_t uid) {
  Mailbox& box = boxes_[mailbox];
  box.removed.insert(uid);
  box.known.erase(uid);
}

std::vector<std::uint32_t> ImapStore::Ahead(Mailbox& box, std::uint32_t uid, bool bodies) const {
  std::vector<std::uint32_t> out{uid};
  auto at = std::lower_bound(box.order.begin(), box.order.end(), uid);
  const SessionOptions& o = conn_->options();
  std::size_t room = bodies ? o.bodyBatch : o.headerBatch;
  std::uint64_t bytes = 0;
  for (auto it = at; it != box.order.end() && out.size() < room; ++it) {
    if (*it == uid || box.removed.count(*it)) continue;
    auto k = box.known.find(*it);
    if (!bodies) {
      if (k == box.known.end() || !k->second.summary.uid) out.push_back(*it);
      continue;
    }
    // Bodies are read ahead for the messages a walk listed that have parts: those
    // are the ones whose bodies are asked for.
    if (k == box.known.end() || !k->second.summary.uid) break;
    if (k->second.hasBody) continue;
    const FetchedMessage& m = k->second.summary;
    if ((bytes += m.size) > options_.readAheadBytes) break;
    std::string header = m.header;
    for (char& c : header) c = g_ascii_tolower(c);
    if (header.find("multipart/") != std::string::npos) out.push_back(*it);
  }
  return out;
}

const FetchedMessage& ImapStore::Summary(const std::string& mailbox, std::uint32_t uidValidity,
                                         std::uint32_t uid) {
  Mailbox& box = CacheOf(mailbox, uidValidity);
  if (auto k = box.known.find(uid); k != box.known.end() && k->second.summary.uid)
    return k->second.summary;
  FetchAll(*conn_, mailbox, uidValidity, Ahead(box, uid, false), kFetchHeader,
           [&](FetchedMessage& m) { box.known[m.uid].summary = std::move(m); });
  auto k = box.known.find(uid);
  if (k == box.known.end() || !k->second.summary.uid)
    RaiseGone("Message " + std::to_string(uid) + " of \"" + mailbox + "\"");
  return k->second.summary;
}

std::string ImapStore::Body(const std::string& mailbox, std::uint32_t uidValidity,
                            std::uint32_t uid) {
  Mailbox& box = CacheOf(mailbox, uidValidity);
  auto take = [&]() -> std::optional<std::string> {
    auto k = box.known.find(uid);
    if (k == box.known.end() || !k->second.hasBody) return std::nullopt;
    // A walk goes forward: bodies read ahead for messages it passed are not wanted.
    // This one is kept until the walk passes it (or it is rewritten): an item is
    // opened more than once, and a UID's message never changes.
    for (auto it = box.known.begin(); it != k; ++it) {
      it->second.hasBody = false;
      std::string().swap(it->second.body);
    }
    return k->second.body;
  };
  if (auto body = take()) return *body;
  FetchAll(*conn_, mailbox, uidValidity, Ahead(box, uid, true), kFetchBody, [&](FetchedMessage& m) {
    Known& k = box.known[m.uid];
    k.hasBody = true;
    if (k.summary.uid) {
      k.body = ToLf(std::move(m.message));
      return;
    }
    // The header as the server has it, as BODY[HEADER] gives it: up to the first
    // empty line, whether the server ends lines with CR LF (as it should) or not.
    std::size_t crlf = m.message.find("\r\n\r\n"), lf = m.message.find("\n\n");
    std::size_t end = std::min(crlf == std::string::npos ? crlf : crlf + 4,
                               lf == std::string::npos ? lf : lf + 2);
    std::string header = m.message.substr(0, end);
    k.body = ToLf(std::move(m.message));
    k.summary = std::move(m);
    k.summary.header = std::move(header);
  });
  if (auto body = take()) return *body;
  RaiseGone("Message " + std::to_string(uid) + " of \"" + mailbox + "\"");
}

}  // namespace stow::imap
