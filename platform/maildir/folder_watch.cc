#include "platform/maildir/folder_watch.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/com_error.h"
#include "platform/maildir/maildir_files.h"
#include "platform/maildir/maildir_names.h"

namespace stow::maildir {

namespace {
constexpr std::uint32_t kMask = IN_MOVED_TO | IN_MOVED_FROM | IN_CREATE;
}  // namespace

FolderWatch::FolderWatch(std::string dir, OnNew onNew, const ListKnown& listKnown)
    : dir_(std::move(dir)), onNew_(std::move(onNew)) {
  fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd_ < 0)
    Raise(errnum::kFail, "Maildir store",
          std::string("Cannot watch for new mail: ") + std::strerror(errno));
  wdNew_ = inotify_add_watch(fd_, (dir_ + "/new").c_str(), kMask);
  wdCur_ = inotify_add_watch(fd_, (dir_ + "/cur").c_str(), kMask);
  if (wdNew_ < 0 || wdCur_ < 0) {
    int err = errno;
    close(fd_);
    fd_ = -1;
    Raise(errnum::kFail, "Maildir store",
          "Cannot watch " + dir_ + " for new mail: " + std::strerror(err));
  }
  // Listed after the watches are in place, so nothing delivered in between is missed.
  listed_ = listKnown ? listKnown() : std::make_shared<const MessageNames>(ListMessageNames(dir_));
}

bool FolderWatch::Learn(std::string_view unique) {
  if (listed_ && HoldsUnique(*listed_, unique)) return false;
  return known_.emplace(unique).second;
}

FolderWatch::~FolderWatch() {
  if (fd_ >= 0) close(fd_);
}

void FolderWatch::Rescan(std::vector<std::pair<std::string, std::string>>& fresh) {
  for (const char* sub : {"new", "cur"})
    ForEachMessage(dir_, sub, [&](std::string_view name) {
      if (Learn(UniqueOf(name))) fresh.emplace_back(sub, name);
    });
}

void FolderWatch::ReadEvents() {
  std::vector<std::pair<std::string, std::string>> fresh;
  alignas(inotify_event) char buf[16384];
  for (;;) {
    ssize_t n = read(fd_, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    for (char* p = buf; p < buf + n;) {
      auto* ev = reinterpret_cast<inotify_event*>(p);
      p += sizeof(inotify_event) + ev->len;
      if (ev->mask & IN_Q_OVERFLOW) {
        Rescan(fresh);
        continue;
      }
      if ((ev->mask & IN_ISDIR) || ev->len == 0 || ev->name[0] == '.') continue;
      if (!(ev->mask & kMask)) continue;
      std::string name = ev->name;
      if (ev->mask & IN_MOVED_FROM) {
        // The other half of a rename inside the folder follows with the same cookie:
        // a message moving from new/ to cur/, changing its flags, or taking the new
        // unique name of a rewrite (by whichever process of this program).
        if (movesOut_.size() > 4096) movesOut_.clear();
        movesOut_.insert(ev->cookie);
        continue;
      }
      std::string unique(UniqueOf(name));
      if ((ev->mask & IN_MOVED_TO) && movesOut_.erase(ev->cookie)) {
        Learn(unique);
        continue;
      }
      if (Learn(unique)) fresh.emplace_back(ev->wd == wdNew_ ? "new" : "cur", name);
    }
  }
  if (!fresh.empty() && onNew_) onNew_(fresh);
}

}  // namespace stow::maildir
