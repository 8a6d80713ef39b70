#pragma once
// New-mail notification for one Maildir folder: inotify on its new/ and cur/,
// served by the process's message loop.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "platform/maildir/maildir_files.h"

namespace stow::maildir {

class FolderWatch {
 public:
  // Called with the (sub, file name) of each newly delivered message: a file whose
  // unique name the folder did not hold, arriving from outside the folder (a rename
  // inside it, from new/ to cur/ or to a rewrite's new unique name, is not one).
  using OnNew = std::function<void(const std::vector<std::pair<std::string, std::string>>&)>;

  // The messages in the folder (the folder's owner lists it once for this and the
  // walk that follows).
  using ListKnown = std::function<std::shared_ptr<const MessageNames>()>;

  // Starts watching dir (a Maildir). Raises ComError when inotify cannot be set up.
  // The messages already there are known and never reported: listKnown (by default
  // a listing of its own) runs once the watches are in place.
  FolderWatch(std::string dir, OnNew onNew, const ListKnown& listKnown = nullptr);
  ~FolderWatch();
  FolderWatch(const FolderWatch&) = delete;
  FolderWatch& operator=(const FolderWatch&) = delete;

  int fd() const { return fd_; }
  // A file with this unique name is about to appear and is not a delivery.
  void Expect(const std::string& unique) { Learn(unique); }
  // Reads what inotify has queued and reports the new messages.
  void ReadEvents();

 private:
  void Rescan(std::vector<std::pair<std::string, std::string>>& fresh);
  // Whether the unique name was not known before.
  bool Learn(std::string_view unique);

  std::string dir_;
  OnNew onNew_;
  int fd_ = -1;
  int wdNew_ = -1, wdCur_ = -1;
  // The messages there when the watch started, and the names met since.
  std::shared_ptr<const MessageNames> listed_;
  std::unordered_set<std::string> known_;
  // Cookies of renames out of new/ or cur/ whose arrival is still to be read.
  std::unordered_set<std::uint32_t> movesOut_;
};

}  // namespace stow::maildir
