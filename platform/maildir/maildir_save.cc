#include "platform/maildir/maildir_save.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "platform/com_error.h"
#include "platform/maildir/background_queue.h"
#include "platform/maildir/maildir_names.h"
#include "platform/maildir/store_util.h"
#include "platform/posix/posix_util.h"

namespace stow::maildir {

namespace {

// The flushes whose failure changes nothing promised: the names they cover are then
// only as safe as the file system keeps them anyway.
void FlushAnyway(const std::string& dir) {
  (void)posix::FlushFolder(dir);
}

// The note of a rewrite in progress; see the header.
constexpr const char* kReplaceNote = ".stowbright-replace-";

// The note of a rewrite about to put tmp/newUnique in the place of `old`
// ("sub/file"): a second name of the new message itself, so that a later run finds
// where the new content went by its inode. A link allocates no inode and needs no
// flush of its own: the caller flushes tmp/ once the message is on disk.
void LinkReplaceNote(const std::string& dir, const std::string& newUnique, const std::string& old,
                     ino_t newIno) {
  std::string tmp = dir + "/tmp/" + newUnique;
  std::string path = dir + "/tmp/" + kReplaceNote + newUnique;
  if (link(tmp.c_str(), path.c_str()) == 0) return;
  // A file system without hard links: the note says the same in words.
  std::string text = old + "\n" + std::to_string(static_cast<unsigned long long>(newIno));
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) RaiseErrno(errno, "Cannot save the message (" + path + ")", path);
  bool ok =
      write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) && fsync(fd) == 0;
  int err = errno;
  close(fd);
  if (!ok) {
    unlink(path.c_str());
    RaiseErrno(err ? err : ENOSPC, "Cannot save the message", path);
  }
}

void RemoveReplaceNote(const std::string& dir, const std::string& newUnique) {
  unlink((dir + "/tmp/" + kReplaceNote + newUnique).c_str());
}

// Renames the message at `at` (which holds the content of a save) to its new unique
// name, keeping the flags it has now. No-replace: a unique name is never taken twice.
// nullopt when it could not be renamed, or (with flush) the rename not flushed.
std::optional<std::string> RenameToNewUnique(const std::string& dir, const Entry& at,
                                             const std::string& newUnique, bool flush = true) {
  std::string from = at.PathIn(dir);
  struct stat st {};
  if (stat(from.c_str(), &st) != 0) return std::nullopt;
  std::string file = RewrittenFileName(MaildirFileName::Parse(at.file), newUnique, st.st_size);
  // First to a name that keeps the old unique part, so that a watcher of another
  // process reads the rename as a message changing its name, not as new mail:
  // straight from the name of an exchange, inotify folds the rename's "moved from"
  // into the exchange's identical one just before it, cookie and all.
  MaildirFileName step = MaildirFileName::Parse(at.file);
  step.fields.push_back("R=" + newUnique.substr(0, newUnique.find('.')));
  std::string stepPath = dir + "/" + at.sub + "/" + step.ToString();
  if (posix::RenameNoReplace(from, stepPath) == 0) from = stepPath;
  if (posix::RenameNoReplace(from, dir + "/" + at.sub + "/" + file) != 0) return std::nullopt;
  // Unflushed, the new name is not yet one that the old content may be removed for.
  if (flush && posix::FlushFolder(dir + "/" + at.sub) != 0) return std::nullopt;
  return file;
}

// What is left of a save once the new message holds its place: the flush of the
// folder it is in, then (never before: a power failure could otherwise bring back
// the old name pointing at a freed file) the removal of the old content and of the
// note from tmp/, and the flush of tmp/.
struct SaveTail {
  std::string dir, sub, tmp, newUnique;
  bool renamed = false;  // the note has done its work
};

// Finishes saves together: each folder is flushed once for all of them. Where the
// folder holding the new message cannot be flushed, the old content and the note stay
// in tmp/: a later process that lists the folder finishes that save.
void FinishSaves(const std::vector<SaveTail>& tails) {
  std::map<std::string, bool> flushed;  // folder -> its flush worked
  std::set<std::string> tmps;
  for (const auto& t : tails) flushed.emplace(t.dir + "/" + t.sub, false);
  for (auto& [d, ok] : flushed) ok = posix::FlushFolder(d) == 0;
  for (const auto& t : tails) {
    if (!flushed[t.dir + "/" + t.sub]) continue;
    unlink(t.tmp.c_str());
    if (t.renamed) RemoveReplaceNote(t.dir, t.newUnique);
    tmps.insert(t.dir + "/tmp");
  }
  for (const auto& d : tmps) FlushAnyway(d);
}

// Hands a save's end to the background queue. The queue's job takes every end that
// is waiting by then, so that when saves come faster than flushes, one flush serves
// many of them.
void QueueSaveTail(SaveTail tail) {
  static std::mutex mutex;
  static std::vector<SaveTail> waiting;
  {
    std::lock_guard<std::mutex> lock(mutex);
    waiting.push_back(std::move(tail));
  }
  AfterSaveQueue().Push([] {
    std::vector<SaveTail> batch;
    {
      std::lock_guard<std::mutex> lock(mutex);
      batch.swap(waiting);
    }
    if (!batch.empty()) FinishSaves(batch);
  });
}

// The processes of this program replace the messages of a folder one at a time: the
// last look at the message, the exchange and the rename to the new unique name happen
// under an exclusive lock of the folder's directory. Without it, a rename by one
// writer could carry off another's version in the instant after its look (a rename
// cannot be made to depend on what the name holds). Other programs only rename and
// delete messages; those the checks around the exchange catch.
class FolderLock {
 public:
  explicit FolderLock(const std::string& dir)
      : fd_(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
    while (fd_ >= 0 && flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
    }
  }
  ~FolderLock() {
    if (fd_ >= 0) close(fd_);
  }
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;

 private:
  int fd_ = -1;
};

// After an exchange took out (to tmp) a version other than the one read, puts it
// back in place of the new message (inode newIno), wherever a mail client has
// renamed that meanwhile. True once tmp holds the new message again. Otherwise what
// tmp holds is kept in the folder as a message of its own under a fresh name, so
// that no version is ever lost.
bool PutBack(const std::string& dir, const std::string& tmp, ino_t newIno,
             const std::string& file) {
  std::string unique = MaildirFileName::Parse(file).unique;
  for (int attempt = 0; attempt < 10; ++attempt) {
    auto at = FindByUnique(dir, unique);
    struct stat st {};
    if (!at) break;
    std::string atPath = at->PathIn(dir);
    if (stat(atPath.c_str(), &st) != 0) continue;
    if (st.st_ino != newIno) break;
    if (renameat2(AT_FDCWD, tmp.c_str(), AT_FDCWD, atPath.c_str(), RENAME_EXCHANGE) != 0) {
      if (errno == ENOENT) continue;
      break;
    }
    if (stat(tmp.c_str(), &st) == 0 && st.st_ino == newIno) return true;
  }
  auto name = MaildirFileName::Parse(file);
  struct stat st {};
  std::string rescued = RewrittenFileName(name, NewUniqueName(time(nullptr)),
                                          stat(tmp.c_str(), &st) == 0 ? st.st_size : 0);
  if (posix::RenameNoReplace(tmp, dir + "/cur/" + rescued) == 0) FlushAnyway(dir + "/cur");
  return false;
}

// A message written in full into dir/tmp/ under its new unique name, on disk.
struct Written {
  std::string tmp, unique;
  std::int64_t size = 0;
  ino_t ino = 0;
};

// Writes the new message to dir/tmp/unique (mode `mode`). For a rewrite (old), the
// file keeps the old one's times and gets its note, both on disk before this returns.
// On failure nothing is left behind.
Written WriteIntoTmp(const std::string& dir, const std::string& unique, mode_t mode,
                     const Replaced* old, const WriteBytes& write) {
  Written w{dir + "/tmp/" + unique, unique};
  int fd = open(w.tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  if (fd < 0) RaiseErrno(errno, "Cannot save the message (" + w.tmp + ")", w.tmp);
  bool noted = false;
  try {
    write(fd);
    // What the writer reports as written is not always the file's size (filters
    // count their input); the size suffix must be the real one.
    struct stat written {};
    if (fstat(fd, &written) != 0) RaiseErrno(errno, "Cannot save the message", w.tmp);
    w.size = written.st_size;
    w.ino = written.st_ino;
    if (old) {
      // Readers that take the received date from the file time keep it.
      struct timespec times[2] = {old->st.st_atim, old->st.st_mtim};
      futimens(fd, times);
      // The note is made before the flush, so that on a journalling file system the
      // message's flush commits the note with it.
      LinkReplaceNote(dir, unique, old->at.sub + "/" + old->at.file, w.ino);
      noted = true;
    }
    if (fsync(fd) != 0) RaiseErrno(errno, "Cannot save the message", w.tmp);
    int rc = close(fd);
    fd = -1;
    if (rc != 0) RaiseErrno(errno, "Cannot save the message", w.tmp);
    // The note must be on disk before the exchange it describes.
    if (noted)
      if (int err = posix::FlushFolder(dir + "/tmp"))
        RaiseErrno(err, "Cannot save the message", dir + "/tmp");
  } catch (...) {
    if (fd >= 0) close(fd);
    unlink(w.tmp.c_str());
    if (noted) RemoveReplaceNote(dir, unique);
    throw;
  }
  return w;
}

}  // namespace

void RaiseChanged(const std::string& title) {
  Raise(errnum::kItemInConflict, kSource,
        "The item \"" + title +
            "\" was changed by another program since it was read; it was left unchanged");
}

Entry SaveNewMessage(const std::string& dir, const WriteBytes& write, const SaveHooks& hooks) {
  Written w = WriteIntoTmp(dir, NewUniqueName(static_cast<std::int64_t>(time(nullptr))), 0600,
                           nullptr, write);
  MaildirFileName fresh;
  fresh.info = "2,DS";
  std::string file = RewrittenFileName(fresh, w.unique, w.size);
  std::string dest = dir + "/cur/" + file;
  if (hooks.expectOwnFile) hooks.expectOwnFile(w.unique);
  if (int err = posix::RenameNoReplace(w.tmp, dest)) {
    unlink(w.tmp.c_str());
    RaiseErrno(err, "Cannot save the message", dest);
  }
  // A new message lost in a crash takes nothing with it that was there before.
  FlushAnyway(dir + "/cur");
  return Entry{w.unique, "cur", file};
}

// The message is put in the place of the old one so that the folder never holds two
// copies, not even for an instant: the new file is exchanged with the old one under
// the old name (the old message goes to tmp/), then renamed to its new unique name.
// The old file is found again by its unique name right before the exchange, and the
// exchange fails instead of creating a name when a mail client has just renamed it (a
// flag change): then it is found and tried again.
Entry ReplaceMessage(const Replaced& old, std::int64_t deliverySeconds, const WriteBytes& write,
                     const SaveHooks& hooks) {
  const std::string& dir = old.dir;
  Written w = WriteIntoTmp(dir, NewUniqueName(deliverySeconds), old.st.st_mode & 0777, &old, write);
  const std::string& tmp = w.tmp;
  const std::string& newUnique = w.unique;
  const ino_t newIno = w.ino;
  if (hooks.expectOwnFile) hooks.expectOwnFile(newUnique);
  auto abandon = [&] {
    unlink(tmp.c_str());
    RemoveReplaceNote(dir, newUnique);
    FlushAnyway(dir + "/tmp");
  };
  auto isRead = [&](const std::optional<FileIdentity>& id) {
    return !old.read || (id && *id == *old.read);
  };
  Entry item = old.at;  // where the message is, as last seen
  std::optional<FolderLock> lock(std::in_place, dir);
  std::optional<Entry> at;
  bool placed = false;
  for (int attempt = 0; attempt < 10 && !placed; ++attempt) {
    at = FileIdentity::Of(item.PathIn(dir)) ? std::optional<Entry>(item)
                                            : FindByUnique(dir, item.unique);
    if (!at) {
      abandon();
      Raise(errnum::kObjectGone, kSource,
            "The item has been changed, moved or deleted by another program since it was read");
    }
    std::string atPath = at->PathIn(dir);
    auto now = FileIdentity::Of(atPath);
    if (now && !isRead(now)) {
      abandon();
      RaiseChanged(old.title);
    }
    if (hooks.beforeExchange) hooks.beforeExchange();
    if (renameat2(AT_FDCWD, tmp.c_str(), AT_FDCWD, atPath.c_str(), RENAME_EXCHANGE) == 0) {
      // The look and the exchange are two steps: another writer may have put its own
      // version in between. What came out must be the version that was read.
      if (!isRead(FileIdentity::Of(tmp))) {
        if (PutBack(dir, tmp, newIno, at->file))
          abandon();
        else
          RemoveReplaceNote(dir, newUnique);
        RaiseChanged(old.title);
      }
      placed = true;
    } else if (errno == EINVAL && now && rename(tmp.c_str(), atPath.c_str()) == 0) {
      // No exchange on this file system: replaced in place (a rename by another
      // program in the instant between the check and the rename is not caught).
      placed = true;
    } else if (errno != ENOENT) {
      int err = errno;
      abandon();
      RaiseErrno(err, "Cannot replace the message; it was left unchanged", atPath);
    }
    if (!placed) item.sub = at->sub, item.file = at->file;  // moved meanwhile: look again
  }
  if (!placed) {
    abandon();
    Raise(errnum::kItemInConflict, kSource,
          "The message kept being renamed by another program; it was left unchanged");
  }
  // The message is saved: the old name holds the new content, tmp/ the old one. The
  // old content stays until the folder is flushed: were it removed first, a power
  // failure could bring back the old name pointing at a freed file.
  item.sub = at->sub;
  item.file = at->file;
  std::optional<std::string> renamed;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  for (int renames = 0; renames < 5 && !renamed;) {
    std::optional<Entry> cur = FileIdentity::Of(item.PathIn(dir)) ? std::optional<Entry>(item)
                                                                  : FindByUnique(dir, item.unique);
    struct stat st {};
    // Gone: a writer that read this version has saved its own over it.
    if (!cur || stat(cur->PathIn(dir).c_str(), &st) != 0) break;
    if (st.st_ino == newIno) {
      item.sub = cur->sub;
      item.file = cur->file;
      renamed = RenameToNewUnique(dir, *cur, newUnique, false);
      ++renames;
      continue;
    }
    // Another writer's exchange has taken this version out. One that had not read it
    // puts it back at once; one that had renames its own on. If neither happens, its
    // version (made from the one read here) stands, and this save did not.
    if (std::chrono::steady_clock::now() > deadline) {
      abandon();
      RaiseChanged(old.title);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  lock.reset();  // the flushes need no lock
  // Without the new unique name the note stays, and has a later listing give it.
  SaveTail tail{dir, item.sub, tmp, newUnique, renamed.has_value()};
  if (hooks.backgroundFlushes)
    QueueSaveTail(std::move(tail));
  else
    FinishSaves({tail});
  if (!renamed) return item;
  return Entry{newUnique, item.sub, *renamed};
}

void FinishInterruptedSaves(const std::string& dir) {
  if (dir.empty()) return;
  std::vector<std::string> names;
  if (posix::ForEachEntry(dir + "/tmp",
                          [&](std::string_view name, ino_t) { names.emplace_back(name); }) != 0)
    return;
  bool changed = false;
  for (const auto& name : names) {
    std::string tmpPath = dir + "/tmp/" + name;
    if (name.rfind(kReplaceNote, 0) == 0) {
      std::string newUnique = name.substr(std::strlen(kReplaceNote));
      if (!posix::ProcessEnded(WriterPidOfUnique(newUnique))) continue;
      char buf[1024];
      std::string note;
      int fd = open(tmpPath.c_str(), O_RDONLY | O_CLOEXEC);
      if (fd >= 0) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) note.assign(buf, static_cast<std::size_t>(n));
        close(fd);
      }
      std::size_t nl = note.find('\n');
      std::string old = note.substr(0, nl);
      std::string inoText = nl == std::string::npos ? "" : note.substr(nl + 1);
      std::size_t slash = old.find('/');
      std::string oldUnique =
          slash == std::string::npos ? "" : MaildirFileName::Parse(old.substr(slash + 1)).unique;
      bool plain = !oldUnique.empty() && oldUnique.find('/') == std::string::npos &&
                   oldUnique[0] != '.' && oldUnique != newUnique && !inoText.empty() &&
                   inoText.size() < 20 &&
                   inoText.find_first_not_of("0123456789") == std::string::npos;
      struct stat noteSt {};
      if (!plain && !FindByUnique(dir, newUnique) && lstat(tmpPath.c_str(), &noteSt) == 0 &&
          S_ISREG(noteSt.st_mode)) {
        // A linked note: the new message is wherever its inode is listed. Found under
        // another name, the exchange happened and only the new name is missing.
        if (auto at = FindByInode(dir, noteSt.st_ino);
            at && !RenameToNewUnique(dir, *at, newUnique))
          continue;  // left for a later listing
      }
      if (plain && !FindByUnique(dir, newUnique)) {
        // The old name holds the new message exactly when the exchange happened.
        if (auto at = FindByUnique(dir, oldUnique)) {
          struct stat st {};
          if (stat(at->PathIn(dir).c_str(), &st) == 0 && std::to_string(st.st_ino) == inoText &&
              !RenameToNewUnique(dir, *at, newUnique))
            continue;  // left for a later listing
        }
      }
      // What is left in tmp/ is the old message (replaced) or a new one that never got in.
      unlink((dir + "/tmp/" + newUnique).c_str());
      unlink(tmpPath.c_str());
      changed = true;
    } else if (name[0] != '.' && posix::ProcessEnded(WriterPidOfUnique(name))) {
      unlink(tmpPath.c_str());
      changed = true;
    }
  }
  if (changed) FlushAnyway(dir + "/tmp");
}

void DrainSaves() {
  AfterSaveQueue().Drain();
}

}  // namespace stow::maildir
