#include "platform/maildir/maildir_store.h"

#include <algorithm>

#include <filesystem>
#include <utility>

#include "platform/com_error.h"
#include "platform/hostapp/hooks.h"
#include "platform/maildir/maildir_files.h"
#include "platform/maildir/maildir_items.h"
#include "platform/maildir/maildir_message.h"
#include "platform/maildir/mime.h"
#include "platform/maildir/mime_item.h"
#include "platform/maildir/store_secret.h"
#include "platform/maildir/store_util.h"
#include "platform/posix/posix_util.h"

namespace stow::maildir {

namespace {

namespace fs = std::filesystem;

class MaildirRecipient : public om::Recipient {
 public:
  explicit MaildirRecipient(std::string name) : name_(std::move(name)) {}
  std::string Name() override { return name_; }
  bool Resolve() override {
    resolved_ = name_.find_first_not_of(" \t") != std::string::npos;
    return resolved_;
  }
  bool Resolved() override { return resolved_; }

 private:
  std::string name_;
  bool resolved_ = false;
};

}  // namespace

MaildirStore::MaildirStore(std::string root, Options options, HeaderAuth auth)
    : root_(std::move(root)),
      options_(std::move(options)),
      auth_(std::move(auth)),
      folders_(root_) {
  if (options_.cacheMarks)
    marks_ = std::make_unique<MarkCache>(MarkCacheFile(root_, auth_.KeyId()));
}

std::shared_ptr<MaildirStore> MaildirStore::Self() {
  return std::static_pointer_cast<MaildirStore>(shared_from_this());
}

std::shared_ptr<MaildirStore> MaildirStore::Open(const std::string& root, Options options) {
  mime::EnsureInitialized();
  std::error_code ec;
  if (!fs::is_directory(root, ec))
    Raise(errnum::kPathNotFound, kSource, "there is no Maildir at " + root + ": no such folder");
  if (!IsMaildir(root) || !fs::is_directory(fs::path(root) / "new", ec))
    Raise(errnum::kPathNotFound, kSource,
          root + " is not a Maildir (it has no cur/ and new/ folders)");
  fs::create_directory(fs::path(root) / "tmp", ec);
  if (ec)
    Raise(posix::ErrorNumberFor(ec.value(), root + "/tmp"), kSource,
          "Cannot open the Maildir " + root + ": " + ec.message());
  std::string abs = fs::absolute(root, ec).lexically_normal().string();
  while (abs.size() > 1 && abs.back() == '/') abs.pop_back();
  std::string secret = options.secretPath.empty() ? HeaderAuth::DefaultPath() : options.secretPath;
  auto opened = OpenStoreSecret(secret, abs, options.newSecret);
  auto store = std::shared_ptr<MaildirStore>(
      new MaildirStore(abs, std::move(options), std::move(opened.auth)));
  store->secretCreated_ = opened.created;
  return store;
}

bool MaildirStore::Create(const std::string& root) {
  std::error_code ec;
  if (IsMaildir(root)) return false;
  if (fs::exists(root, ec) && !(fs::is_directory(root, ec) && fs::is_empty(root, ec)))
    Raise(errnum::kFileAlreadyExists, kSource,
          root + " holds other things; a new Maildir goes into an empty or new folder");
  for (const char* sub : {"tmp", "new", "cur"}) {
    fs::create_directories(fs::path(root) / sub, ec);
    if (ec)
      Raise(posix::ErrorNumberFor(ec.value(), root), kSource,
            "Cannot make a Maildir at " + root + ": " + ec.message());
  }
  // A Maildir lost in a crash is simply made again.
  (void)posix::FlushFolder(root);
  return true;
}

std::shared_ptr<om::Folder> MaildirStore::MakeFolder(const FolderRef& ref) {
  return MakeMaildirFolder(Self(), ref);
}

std::shared_ptr<MaildirItems> MaildirStore::ItemsOf(const FolderRef& ref) {
  std::string key = ref.dir.empty() ? "\n" + std::to_string(ref.names.size()) : ref.dir;
  if (auto live = items_[key].lock()) return live;
  FinishInterruptedSaves(ref.dir);
  auto items = std::make_shared<MaildirItems>(Self(), ref);
  items_[key] = items;
  return items;
}

std::shared_ptr<om::Item> MaildirStore::MakeItem(const FolderRef& ref, const std::string& sub,
                                                 const std::string& fileName) {
  return std::make_shared<MimeItem>(Self(),
                                    std::make_unique<MaildirMessage>(Self(), ref, sub, fileName));
}

std::unique_ptr<MessageStorage> MaildirStore::NewMailStorage() {
  return std::make_unique<MaildirMessage>(Self(), folders_.DefaultRef(om::olFolderDrafts));
}

std::shared_ptr<om::Item> MaildirStore::CreateMailItem() {
  return std::make_shared<MimeItem>(Self(), NewMailStorage());
}

void MaildirStore::NoteSaveFailure(const std::string& description) {
  saveFailures_.push_back(description);
}

std::vector<std::string> MaildirStore::TakeSaveFailures() {
  return std::exchange(saveFailures_, {});
}

void MaildirStore::NoteUnverifiable(const std::string& entryId) {
  if (!entryId.empty()) unverifiable_.insert(entryId);
}

bool MaildirStore::IsUnverifiable(const std::string& entryId) const {
  return unverifiable_.count(entryId) > 0;
}

void MaildirStore::Rewritten(const std::string& where, const std::string& messageId) {
  if (options_.afterRewrite) options_.afterRewrite(where, messageId);
}

std::optional<std::string> MaildirStore::CachedMark(const std::string& where,
                                                    const std::string& key) {
  return marks_ ? marks_->Find(where, key) : std::nullopt;
}

void MaildirStore::RememberMark(const std::string& where, const std::string& key,
                                const std::string& mark) {
  if (marks_) marks_->Remember(where, key, mark);
}

void MaildirStore::WalkedFolder(const std::string& dir) {
  if (!marks_) return;
  marks_->Walked(dir);
  marks_->Save();
}

std::string MaildirStore::secretPath() const {
  return options_.secretPath.empty() ? HeaderAuth::DefaultPath() : options_.secretPath;
}

void MaildirStore::NoteRewrite(const std::string& dir, const std::string& from,
                               const std::string& to) {
  rewrites_[dir][from] = to;
}

void MaildirStore::ExpectOwnFile(const std::string& dir, const std::string& unique) {
  auto it = items_.find(dir);
  if (it == items_.end()) return;
  if (auto items = it->second.lock()) items->Expect(unique);
}

bool MaildirStore::IsRewriteOfOwn(const std::string& dir, const std::string& unique) const {
  auto it = rewrites_.find(dir);
  if (it == rewrites_.end()) return false;
  return std::any_of(it->second.begin(), it->second.end(),
                     [&](const auto& hop) { return hop.second == unique; });
}

std::string MaildirStore::FollowRewrites(const std::string& dir, std::string unique) const {
  auto it = rewrites_.find(dir);
  if (it == rewrites_.end()) return unique;
  for (int hops = 0; hops < 1000; ++hops) {
    auto next = it->second.find(unique);
    if (next == it->second.end()) break;
    unique = next->second;
  }
  return unique;
}

std::shared_ptr<om::Folder> MaildirStore::GetDefaultFolder(int folderType) {
  return MakeFolder(folders_.DefaultRef(folderType));
}

std::shared_ptr<om::Folder> MaildirStore::PickFolder() {
  return hostapp::PickFolder();
}

std::shared_ptr<om::Folder> MaildirStore::Root() {
  return MakeFolder(RefFor({}));
}

std::shared_ptr<om::Folders> MaildirStore::Folders() {
  return MakeFolderList({Root()});
}

std::shared_ptr<om::Folder> MaildirStore::FolderAt(const std::vector<std::string>& names) {
  if (names.empty()) return Root();
  if (names.size() == 1 && SameName(names[0], "Inbox")) return MakeFolder(RefFor(names));
  auto ref = RefFor(names);
  if (!ref.exists) {
    // Listed default folders and the Calendar exist before their directories do.
    bool listed = false;
    auto up = names;
    up.pop_back();
    for (auto& c : folders_.ChildFolders(up))
      listed = listed || SameName(c.names.back(), names.back());
    if (!listed) return nullptr;
  }
  return MakeFolder(ref);
}

std::shared_ptr<om::Recipient> MaildirStore::CreateRecipient(const std::string& name) {
  return std::make_shared<MaildirRecipient>(name);
}

std::shared_ptr<om::Folder> MaildirStore::GetSharedDefaultFolder(
    const std::shared_ptr<om::Recipient>& owner, int) {
  Raise(errnum::kFail, kSource,
        "The mailbox of \"" + (owner ? owner->Name() : std::string()) +
            "\" cannot be reached: this Maildir store holds only its own folders");
}

}  // namespace stow::maildir
