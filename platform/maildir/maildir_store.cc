#include "platform/maildir/maildir_store.h"

#include <algorithm>

#include <filesystem>
#include <utility>

#include "platform/com_error.h"
#include "platform/maildir/maildir_files.h"
#include "platform/maildir/maildir_items.h"
#include "platform/maildir/maildir_message.h"
#include "platform/maildir/mime.h"
#include "platform/maildir/mime_item.h"
#include "platform/maildir/store_secret.h"
#include "platform/maildir/store_util.h"
#include "platform/posix/posix_util.h"

namespace stow::maildir {

namespace fs = std::filesystem;

MaildirStore::MaildirStore(std::string root, Options options, HeaderAuth auth)
    : MimeStore(options.displayName,
                options.secretPath.empty() ? HeaderAuth::DefaultPath() : options.secretPath,
                std::move(auth)),
      root_(std::move(root)),
      options_(std::move(options)),
      folders_(root_) {
  if (options_.cacheMarks)
    marks_ = std::make_unique<MarkCache>(MarkCacheFile(root_, this->auth().KeyId()));
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
  store->SetSecretCreated(opened.created);
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

std::shared_ptr<MaildirItems> MaildirStore::ItemsOf(const FolderRef& ref) {
  std::string key = ref.dir.empty() ? "\n" + std::to_string(ref.names.size()) : ref.dir;
  if (auto live = items_[key].lock()) return live;
  FinishInterruptedSaves(ref.dir);
  auto items = std::make_shared<MaildirItems>(Self(), ref);
  items_[key] = items;
  return items;
}

std::shared_ptr<om::Items> MaildirStore::FolderItems(const FolderRef& ref) {
  return ItemsOf(ref);
}

std::shared_ptr<om::Item> MaildirStore::MakeItem(const FolderRef& ref, const std::string& sub,
                                                 const std::string& fileName, std::string walkKey,
                                                 std::chrono::steady_clock::time_point keyTaken) {
  auto message = std::make_unique<MaildirMessage>(Self(), ref, sub, fileName);
  message->SetWalkKey(std::move(walkKey), keyTaken);
  return std::make_shared<MimeItem>(Self(), std::move(message));
}

std::unique_ptr<MessageStorage> MaildirStore::NewMailStorage() {
  return std::make_unique<MaildirMessage>(Self(), folders_.DefaultRef(om::olFolderDrafts));
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

void MaildirStore::ExpectOwnFile(const std::string& dir, const std::string& unique) {
  auto it = items_.find(dir);
  if (it == items_.end()) return;
  if (auto items = it->second.lock()) items->Expect(unique);
}

}  // namespace stow::maildir
