#include "platform/maildir/maildir_message.h"

#include <fcntl.h>
#include <glib.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "platform/com_error.h"
#include "platform/maildir/maildir_names.h"
#include "platform/maildir/maildir_save.h"
#include "platform/maildir/maildir_store.h"
#include "platform/maildir/mark_cache.h"
#include "platform/maildir/store_util.h"
#include "platform/posix/posix_util.h"

namespace stow::maildir {

MaildirMessage::MaildirMessage(std::shared_ptr<MaildirStore> store, FolderRef ref, std::string sub,
                               std::string file)
    : store_(std::move(store)),
      ref_(std::move(ref)),
      sub_(std::move(sub)),
      file_(std::move(file)),
      unique_(UniqueOf(file_)) {}

MaildirMessage::MaildirMessage(std::shared_ptr<MaildirStore> store, FolderRef ref)
    : store_(std::move(store)), ref_(std::move(ref)), sub_("cur") {}

std::shared_ptr<om::Folder> MaildirMessage::Folder() {
  return store_->MakeFolder(store_->RefFor(ref_.names));
}

Entry MaildirMessage::Locate() {
  if (FileIdentity::Of(Path())) return Entry{unique_, sub_, file_};
  auto found = FindByUnique(ref_.dir, unique_);
  if (!found) {
    gone_ = true;
    Raise(errnum::kObjectGone, kSource,
          "The item has been changed, moved or deleted by another program since it was read");
  }
  sub_ = found->sub;
  file_ = found->file;
  return *found;
}

bool MaildirMessage::HasDuplicate(const Entry& at) {
  if (at.sub == "cur") {
    // The usual leftover: a delivery still in new/ beside its copy in cur/.
    auto n = MaildirFileName::Parse(at.file);
    n.info.reset();
    return FileIdentity::Of(ref_.dir + "/new/" + n.ToString()) ||
           FileIdentity::Of(ref_.dir + "/new/" + unique_);
  }
  std::vector<std::string> copies;
  for (const char* sub : {"cur", "new"})
    ForEachMessage(ref_.dir, sub, [&](std::string_view name) {
      if (UniqueOf(name) == unique_) copies.push_back(std::string(sub) + "/" + std::string(name));
    });
  if (copies.size() < 2) return false;
  // A rename while the folder was read shows the old and the new name of one file:
  // only the names still there count.
  std::size_t there = 0;
  for (const auto& copy : copies)
    if (FileIdentity::Of(ref_.dir + "/" + copy)) ++there;
  return there > 1;
}

bool MaildirMessage::InConflict() {
  return !unique_.empty() && HasDuplicate(Locate());
}

int MaildirMessage::Open() {
  if (!FileIdentity::Of(Path())) Locate();
  // A mail client may rename the file (its flags) between the look and the open.
  int fd = open(Path().c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0 && errno == ENOENT) {
    Locate();
    fd = OpenMessageFile(Path());
  } else if (fd < 0) {
    fd = OpenMessageFile(Path());
  }
  if (!read_) read_ = FileIdentity::Of(fd);
  return fd;
}

std::optional<std::int64_t> MaildirMessage::DeliveryTime() {
  return DeliveryTimeOfUnique(unique_);
}

std::optional<std::int64_t> MaildirMessage::StoredTime() {
  struct stat st {};
  if (stat(Path().c_str(), &st) != 0) return std::nullopt;
  return static_cast<std::int64_t>(st.st_mtime);
}

std::string MaildirMessage::WorkFolder() const {
  return ref_.exists ? ref_.dir + "/tmp" : std::string(g_get_tmp_dir());
}

namespace {
// How long after the walk's look its key may stand for the file: a sweep asks
// within microseconds.
constexpr std::chrono::milliseconds kWalkKeyLife{200};
}  // namespace

std::string MaildirMessage::VersionKey() const {
  if (unique_.empty()) return "";
  std::string walked = std::exchange(walkKey_, std::string());
  if (!walked.empty() && std::chrono::steady_clock::now() - walkKeyTaken_ < kWalkKeyLife)
    return walked;
  return MarkCache::KeyOf(Path());
}

void MaildirMessage::CheckReplaceable(const std::string& title) {
  old_.reset();
  if (unique_.empty()) {
    store_->folders().Materialize(ref_);
    return;
  }
  Entry at = Locate();
  if (HasDuplicate(at))
    Raise(errnum::kItemInConflict, kSource,
          "The item is in conflict: the folder holds more than one copy of " + unique_);
  std::string path = at.PathIn(ref_.dir);
  auto now = FileIdentity::Of(path);
  if (read_ && now && !(*now == *read_)) RaiseChanged(title);
  stat(path.c_str(), &oldSt_);
  old_ = at;
}

void MaildirMessage::Replace(const std::string& title, std::int64_t deliverySeconds,
                             const std::function<void(int fd)>& write) {
  if (!old_ && !unique_.empty()) CheckReplaceable(title);
  SaveHooks hooks;
  hooks.expectOwnFile = [this](const std::string& unique) {
    store_->ExpectOwnFile(ref_.dir, unique);
  };
  hooks.beforeExchange = store_->options().beforeExchange;
  hooks.backgroundFlushes = store_->options().backgroundFlushes;
  Entry now;
  if (unique_.empty()) {
    now = SaveNewMessage(ref_.dir, write, hooks);
  } else {
    Replaced old{ref_.dir, *old_, oldSt_, read_, title};
    old_.reset();
    try {
      now = ReplaceMessage(old, deliverySeconds, write, hooks);
    } catch (const ComError& e) {
      if (e.Number() == errnum::kObjectGone) gone_ = true;
      throw;
    }
    if (now.unique != unique_) store_->NoteRewrite(ref_.dir, unique_, now.unique);
  }
  unique_ = now.unique;
  sub_ = now.sub;
  file_ = now.file;
  read_ = FileIdentity::Of(Path());
}

void MaildirMessage::Delete(const std::function<std::int64_t()>& deliverySeconds) {
  if (unique_.empty()) {
    gone_ = true;
    return;
  }
  Entry at = Locate();
  std::string src = at.PathIn(ref_.dir);
  FolderRef target = store_->folders().DefaultRef(om::olFolderDeletedItems);
  if (target.dir == ref_.dir) {
    if (unlink(src.c_str()) != 0) RaiseErrno(errno, "Cannot delete the message", src);
    (void)posix::FlushFolder(ref_.dir + "/" + at.sub);
  } else {
    store_->folders().Materialize(target);
    // Where the unique name is taken there, the message gets a new one that keeps its
    // delivery time; a name taken in the instant before the move is never replaced.
    auto renamed = [&] {
      auto stamp = FileIdentity::Of(src);
      return target.dir + "/" + at.sub + "/" +
             RewrittenFileName(MaildirFileName::Parse(at.file), NewUniqueName(deliverySeconds()),
                               stamp ? stamp->size : 0);
    };
    std::string dest = target.dir + "/" + at.sub + "/" + at.file;
    if (FileIdentity::Of(dest) || FindByUnique(target.dir, unique_)) dest = renamed();
    int err = posix::RenameNoReplace(src, dest);
    if (err == EEXIST) err = posix::RenameNoReplace(src, dest = renamed());
    if (err) RaiseErrno(err, "Cannot move the message to Deleted Items", dest);
    // Either flush failing leaves the message in one of the two folders after a crash.
    (void)posix::FlushFolder(target.dir + "/" + at.sub);
    (void)posix::FlushFolder(ref_.dir + "/" + at.sub);
  }
  gone_ = true;
}

void MaildirMessage::DeletePermanently() {
  if (!unique_.empty()) {
    Entry at = Locate();
    std::string path = at.PathIn(ref_.dir);
    if (unlink(path.c_str()) != 0) RaiseErrno(errno, "Cannot delete the message", path);
    (void)posix::FlushFolder(ref_.dir + "/" + at.sub);
  }
  gone_ = true;
}

}  // namespace stow::maildir
