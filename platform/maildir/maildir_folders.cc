#include "platform/maildir/maildir_folders.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "platform/com_error.h"
#include "platform/maildir/maildir_files.h"
#include "platform/maildir/maildir_names.h"
#include "platform/maildir/store_util.h"
#include "platform/posix/posix_util.h"

namespace stow::maildir {

namespace fs = std::filesystem;

std::vector<FolderTree::Scanned> MaildirTree::Scan() const {
  std::vector<Scanned> out;
  posix::ForEachEntry(root_, [&](std::string_view name, ino_t) {
    if (name.size() < 2 || name[0] != '.') return;
    std::string dir = root_ + "/" + std::string(name);
    if (!IsMaildir(dir)) return;
    auto names = FolderNamesOfDirectory(name);
    if (names.empty()) return;
    if (SameName(names[0], "INBOX")) {
      if (names.size() == 1) return;  // the root is the Inbox
      names[0] = "Inbox";
    }
    out.push_back({names, dir});
  });
  return out;
}

int FolderTree::KindOf(const FolderRef& ref) {
  if (ref.names.size() != 1) return om::olMailItem;
  static const std::pair<const char*, int> kKinds[] = {{"Calendar", om::olAppointmentItem},
                                                       {"Contacts", om::olContactItem},
                                                       {"Tasks", om::olTaskItem},
                                                       {"Notes", om::olNoteItem},
                                                       {"Journal", om::olJournalItem}};
  for (const auto& [n, k] : kKinds)
    if (SameName(ref.names[0], n)) return k;
  return om::olMailItem;
}

FolderRef FolderTree::RefFor(const std::vector<std::string>& names) const {
  FolderRef ref;
  ref.names = names;
  if (names.empty()) return ref;  // the store itself holds no items
  if (names.size() == 1 && SameName(names[0], "Inbox")) {
    ref.names[0] = "Inbox";
    ref.dir = InboxDir();
    ref.exists = true;
    return ref;
  }
  for (auto& s : Scan()) {
    if (s.names.size() != names.size()) continue;
    bool same = true;
    for (std::size_t i = 0; i < names.size(); ++i) same = same && SameName(s.names[i], names[i]);
    if (same) {
      ref.names = s.names;
      ref.dir = s.dir;
      ref.exists = true;
      ref.itemType = KindOf(ref);
      return ref;
    }
  }
  ref.dir = PlaceOf(names, &ref.exists);
  ref.itemType = KindOf(ref);
  return ref;
}

std::string MaildirTree::PlaceOf(const std::vector<std::string>& names, bool* exists) const {
  auto dirNames = names;
  if (SameName(dirNames[0], "Inbox")) dirNames[0] = "INBOX";
  std::string dir = root_ + "/" + DirectoryOfFolderNames(dirNames);
  *exists = IsMaildir(dir);
  return dir;
}

void MaildirTree::Materialize(FolderRef& ref) const {
  if (ref.dir.empty()) Raise(errnum::kFail, kSource, "The folder cannot hold items");
  if (ref.exists && IsMaildir(ref.dir)) return;
  std::error_code ec;
  for (const char* sub : {"tmp", "new", "cur"}) {
    fs::create_directories(fs::path(ref.dir) / sub, ec);
    if (ec)
      Raise(posix::ErrorNumberFor(ec.value(), ref.dir), kSource,
            "Cannot create the folder " + ref.dir + ": " + ec.message());
  }
  // Courier and Dovecot mark a Maildir++ folder with this file.
  if (ref.dir != root_)
    close(open((ref.dir + "/maildirfolder").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
  // A folder that vanishes in a crash is made again the next time: nothing to act on.
  (void)posix::FlushFolder(root_);
  ref.exists = true;
}

FolderRef FolderTree::DefaultRef(int folderType) const {
  std::vector<const char*> names;
  switch (folderType) {
    case om::olFolderInbox:
      return RefFor({"Inbox"});
    case om::olFolderSentMail:
      names = {"Sent Items", "Sent", "Sent Messages", "Sent Mail"};
      break;
    case om::olFolderDeletedItems:
      names = {"Deleted Items", "Trash", "Deleted Messages"};
      break;
    case om::olFolderDrafts:
      names = {"Drafts"};
      break;
    case om::olFolderOutbox:
      names = {"Outbox"};
      break;
    case om::olFolderCalendar:
      names = {"Calendar"};
      break;
    default:
      Raise(errnum::kFail, kSource,
            "The store has no default folder of type " + std::to_string(folderType));
  }
  auto scanned = Scan();
  for (const char* n : names)
    for (auto& s : scanned)
      if (s.names.size() == 1 && SameName(s.names[0], n)) return RefFor(s.names);
  for (const char* n : names)
    for (auto& s : scanned)
      if (s.names.size() == 2 && SameName(s.names[0], "Inbox") && SameName(s.names[1], n))
        return RefFor(s.names);
  return RefFor({names.front()});
}

std::vector<FolderRef> FolderTree::ChildFolders(const std::vector<std::string>& names) const {
  std::vector<FolderRef> out;
  auto add = [&](const std::vector<std::string>& n) {
    for (auto& r : out)
      if (r.names.size() == n.size() && SameName(r.names.back(), n.back())) return;
    out.push_back(RefFor(n));
  };
  auto scanned = Scan();
  std::vector<std::vector<std::string>> children;
  for (auto& s : scanned) {
    if (s.names.size() <= names.size()) continue;
    bool under = true;
    for (std::size_t i = 0; i < names.size(); ++i) under = under && SameName(s.names[i], names[i]);
    if (!under) continue;
    children.emplace_back(s.names.begin(),
                          s.names.begin() + static_cast<std::ptrdiff_t>(names.size() + 1));
  }
  std::sort(children.begin(), children.end(),
            [](const auto& a, const auto& b) { return FoldName(a.back()) < FoldName(b.back()); });
  if (names.empty()) {
    out.push_back(RefFor({"Inbox"}));
    for (auto& c : children) add(c);
    // The default folders are there even before their directories are.
    for (int type :
         {om::olFolderSentMail, om::olFolderDeletedItems, om::olFolderDrafts, om::olFolderCalendar})
      add(DefaultRef(type).names);
  } else {
    for (auto& c : children) add(c);
  }
  return out;
}

namespace {

class StoreFolder : public om::Folder {
 public:
  StoreFolder(std::shared_ptr<FolderHost> store, FolderRef ref)
      : store_(std::move(store)), ref_(std::move(ref)) {}
  std::string Name() override {
    return ref_.names.empty() ? store_->DisplayName() : ref_.names.back();
  }
  std::string FolderPath() override {
    std::string p = "\\\\" + store_->DisplayName();
    for (const auto& n : ref_.names) p += "\\" + n;
    return p;
  }
  int DefaultItemType() override { return ref_.itemType; }
  std::shared_ptr<om::Folder> Parent() override {
    if (ref_.names.empty()) return nullptr;
    auto up = ref_.names;
    up.pop_back();
    return store_->MakeFolder(store_->folders().RefFor(up));
  }
  std::shared_ptr<om::Folders> Folders() override {
    std::vector<std::shared_ptr<om::Folder>> list;
    for (auto& r : store_->folders().ChildFolders(ref_.names))
      list.push_back(store_->MakeFolder(r));
    return MakeFolderList(std::move(list));
  }
  std::shared_ptr<om::Items> Items() override {
    return store_->FolderItems(store_->folders().RefFor(ref_.names));
  }

 private:
  std::shared_ptr<FolderHost> store_;
  FolderRef ref_;
};

class MaildirFolders : public om::Folders {
 public:
  explicit MaildirFolders(std::vector<std::shared_ptr<om::Folder>> folders)
      : folders_(std::move(folders)) {}
  std::int64_t Count() override { return static_cast<std::int64_t>(folders_.size()); }
  std::shared_ptr<om::Folder> Item(std::int64_t index) override {
    if (index < 1 || index > Count())
      Raise(errnum::kSubscriptOutOfRange, kSource, "Array index out of bounds");
    return folders_[static_cast<std::size_t>(index - 1)];
  }
  std::shared_ptr<om::Folder> Item(const std::string& name) override {
    for (auto& f : folders_)
      if (SameName(f->Name(), name)) return f;
    Raise(errnum::kFail, kSource, "The folder \"" + name + "\" does not exist");
  }

 private:
  std::vector<std::shared_ptr<om::Folder>> folders_;
};

}  // namespace

std::shared_ptr<om::Folder> MakeStoreFolder(std::shared_ptr<FolderHost> store, FolderRef ref) {
  return std::make_shared<StoreFolder>(std::move(store), std::move(ref));
}

std::shared_ptr<om::Folders> MakeFolderList(std::vector<std::shared_ptr<om::Folder>> folders) {
  return std::make_shared<MaildirFolders>(std::move(folders));
}

}  // namespace stow::maildir
