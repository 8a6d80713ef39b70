#include "platform/maildir/mime_store.h"

#include <algorithm>
#include <utility>

#include "platform/com_error.h"
#include "platform/hostapp/hooks.h"
#include "platform/maildir/mime_item.h"
#include "platform/maildir/store_util.h"

namespace stow::maildir {

namespace {

// A store that holds only its own folders resolves any name that is not blank.
class StoreRecipient : public om::Recipient {
 public:
  explicit StoreRecipient(std::string name) : name_(std::move(name)) {}
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

MimeStore::MimeStore(std::string displayName, std::string secretPath, HeaderAuth auth)
    : displayName_(std::move(displayName)),
      secretPath_(std::move(secretPath)),
      auth_(std::move(auth)) {}

std::shared_ptr<om::Folder> MimeStore::MakeFolder(const FolderRef& ref) {
  return MakeStoreFolder(Base(), ref);
}

std::shared_ptr<om::Item> MimeStore::CreateMailItem() {
  return std::make_shared<MimeItem>(Base(), NewMailStorage());
}

void MimeStore::NoteSaveFailure(const std::string& description) {
  saveFailures_.push_back(description);
}

std::vector<std::string> MimeStore::TakeSaveFailures() {
  return std::exchange(saveFailures_, {});
}

void MimeStore::NoteUnverifiable(const std::string& entryId) {
  if (!entryId.empty()) unverifiable_.insert(entryId);
}

bool MimeStore::IsUnverifiable(const std::string& entryId) const {
  return unverifiable_.count(entryId) > 0;
}

void MimeStore::NoteRewrite(const std::string& dir, const std::string& from,
                            const std::string& to) {
  rewrites_[dir][from] = to;
}

bool MimeStore::IsRewriteOfOwn(const std::string& dir, const std::string& id) const {
  auto it = rewrites_.find(dir);
  if (it == rewrites_.end()) return false;
  return std::any_of(it->second.begin(), it->second.end(),
                     [&](const auto& hop) { return hop.second == id; });
}

std::string MimeStore::FollowRewrites(const std::string& dir, std::string id) const {
  auto it = rewrites_.find(dir);
  if (it == rewrites_.end()) return id;
  for (int hops = 0; hops < 1000; ++hops) {
    auto next = it->second.find(id);
    if (next == it->second.end()) break;
    id = next->second;
  }
  return id;
}

std::shared_ptr<om::Folder> MimeStore::GetDefaultFolder(int folderType) {
  return MakeFolder(folders().DefaultRef(folderType));
}

std::shared_ptr<om::Folder> MimeStore::PickFolder() {
  return hostapp::PickFolder();
}

std::shared_ptr<om::Folder> MimeStore::Root() {
  return MakeFolder(RefFor({}));
}

std::shared_ptr<om::Folders> MimeStore::Folders() {
  return MakeFolderList({Root()});
}

std::shared_ptr<om::Folder> MimeStore::FolderAt(const std::vector<std::string>& names) {
  if (names.empty()) return Root();
  if (names.size() == 1 && SameName(names[0], "Inbox")) return MakeFolder(RefFor(names));
  auto ref = RefFor(names);
  if (!ref.exists) {
    // Listed default folders and the Calendar exist before they are made.
    bool listed = false;
    auto up = names;
    up.pop_back();
    for (auto& c : folders().ChildFolders(up))
      listed = listed || SameName(c.names.back(), names.back());
    if (!listed) return nullptr;
  }
  return MakeFolder(ref);
}

std::shared_ptr<om::Recipient> MimeStore::CreateRecipient(const std::string& name) {
  return std::make_shared<StoreRecipient>(name);
}

std::shared_ptr<om::Folder> MimeStore::GetSharedDefaultFolder(
    const std::shared_ptr<om::Recipient>& owner, int) {
  Raise(errnum::kFail, kSource,
        "The mailbox of \"" + (owner ? owner->Name() : std::string()) +
            "\" cannot be reached: this store (" + Location() + ") holds only its own folders");
}

}  // namespace stow::maildir
