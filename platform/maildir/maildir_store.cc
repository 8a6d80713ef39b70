#include "platform/maildir/maildir_store.h"

#include <dirent.h>
#include <signal.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <thread>
#include <optional>
#include <set>
#include <unordered_set>
#include <utility>

#include "platform/com_error.h"
#include "platform/hostapp/hooks.h"
#include "platform/maildir/background_queue.h"
#include "platform/maildir/fast_scan.h"
#include "platform/maildir/folder_watch.h"
#include "platform/maildir/maildir_names.h"
#include "platform/maildir/mime.h"
#include "platform/maildir/part_restore.h"
#include "platform/maildir/store_secret.h"
#include "platform/services.h"

namespace stow::maildir {

namespace {

namespace fs = std::filesystem;
using mime::GRef;

constexpr const char* kSource = "Maildir store";

std::string Fold(const std::string& s) {
  gchar* f = g_utf8_casefold(s.c_str(), static_cast<gssize>(s.size()));
  std::string r = f ? f : s;
  g_free(f);
  return r;
}

bool SameName(const std::string& a, const std::string& b) {
  return Fold(a) == Fold(b);
}

bool IsMaildir(const std::string& dir) {
  struct stat st {};
  return !dir.empty() && stat((dir + "/cur").c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::int32_t ErrnoNumber(int err) {
  switch (err) {
    case ENOENT:
    case ENOTDIR:
      return errnum::kPathNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
      return errnum::kPermissionDenied;
    case ENOSPC:
    case EDQUOT:
      return errnum::kDiskFull;
    case EEXIST:
      return errnum::kFileAlreadyExists;
    default:
      return errnum::kFail;
  }
}

[[noreturn]] void RaiseErrno(int err, const std::string& what) {
  Raise(ErrnoNumber(err), kSource, what + ": " + std::strerror(err));
}

void FsyncDir(const std::string& dir) {
  int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

// rename(2) that never replaces an existing file. A file system without
// RENAME_NOREPLACE gets a check first (a unique name is never reused anyway).
int RenameNoReplace(const std::string& from, const std::string& to) {
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL) return -1;
  struct stat st {};
  if (lstat(to.c_str(), &st) == 0) {
    errno = EEXIST;
    return -1;
  }
  return rename(from.c_str(), to.c_str());
}

template <class F>
void ListDir(const std::string& path, const F& each) {
  DIR* d = opendir(path.c_str());
  if (!d) return;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    each(std::string(e->d_name));
  }
  closedir(d);
}

std::string B64(const std::string& s) {
  gchar* e = g_base64_encode(reinterpret_cast<const guchar*>(s.data()), s.size());
  std::string r = e;
  g_free(e);
  return r;
}

std::optional<std::string> UnB64(const std::string& s) {
  for (char c : s)
    if (!(g_ascii_isalnum(c) || c == '+' || c == '/' || c == '=')) return std::nullopt;
  if (s.size() % 4) return std::nullopt;
  gsize len = 0;
  guchar* d = g_base64_decode(s.c_str(), &len);
  std::string r(reinterpret_cast<char*>(d), len);
  g_free(d);
  return r;
}

// Base64 in runs of 64 separated by blanks, so that the header folds between them.
std::string Chunked(const std::string& b64) {
  std::string out;
  for (std::size_t i = 0; i < b64.size(); i += 64) {
    if (i) out += ' ';
    out += b64.substr(i, 64);
  }
  return out;
}

// "k=v; k=v" with white space anywhere ignored (the values are base64, digits or hex).
std::map<std::string, std::string> Params(const std::string& raw) {
  std::map<std::string, std::string> out;
  std::string clean;
  for (char c : raw)
    if (!g_ascii_isspace(c)) clean += c;
  std::size_t start = 0;
  while (start < clean.size()) {
    auto end = clean.find(';', start);
    std::string item =
        clean.substr(start, end == std::string::npos ? std::string::npos : end - start);
    auto eq = item.find('=');
    if (eq != std::string::npos) out.emplace(item.substr(0, eq), item.substr(eq + 1));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return out;
}

std::string MessageIdOf(GMimeMessage* m) {
  const char* id = g_mime_message_get_message_id(m);
  return id ? id : "";
}

std::string Hex(const guchar* data, std::size_t n) {
  static const char* kDigits = "0123456789ABCDEF";
  std::string s;
  for (std::size_t i = 0; i < n; ++i) {
    s += kDigits[data[i] >> 4];
    s += kDigits[data[i] & 15];
  }
  return s;
}

std::string Md5(const std::string& text) {
  GChecksum* c = g_checksum_new(G_CHECKSUM_MD5);
  g_checksum_update(c, reinterpret_cast<const guchar*>(text.data()),
                    static_cast<gssize>(text.size()));
  guint8 digest[16];
  gsize len = sizeof digest;
  g_checksum_get_digest(c, digest, &len);
  g_checksum_free(c);
  return std::string(reinterpret_cast<char*>(digest), len);
}

// SHA-256 of bytes given in pieces, as lowercase hex.
class Digest {
 public:
  Digest() : c_(g_checksum_new(G_CHECKSUM_SHA256)) {}
  ~Digest() { g_checksum_free(c_); }
  Digest(const Digest&) = delete;
  Digest& operator=(const Digest&) = delete;
  void Update(const char* data, std::size_t n) {
    g_checksum_update(c_, reinterpret_cast<const guchar*>(data), static_cast<gssize>(n));
  }
  std::string Hex() { return g_checksum_get_string(c_); }

 private:
  GChecksum* c_;
};

std::string StripReplyPrefixes(std::string s) {
  static const char* const kPrefixes[] = {"re:", "fw:", "fwd:", "aw:", "wg:", "sv:", "vs:", "tr:"};
  for (bool again = true; again;) {
    again = false;
    std::size_t b = s.find_first_not_of(" \t");
    s = b == std::string::npos ? "" : s.substr(b);
    for (const char* p : kPrefixes) {
      std::size_t n = std::strlen(p);
      if (s.size() >= n && g_ascii_strncasecmp(s.c_str(), p, n) == 0) {
        s = s.substr(n);
        again = true;
        break;
      }
    }
  }
  return s;
}

std::string HtmlToText(const std::string& html) {
  std::string out;
  bool inTag = false;
  for (std::size_t i = 0; i < html.size(); ++i) {
    char c = html[i];
    if (inTag) {
      if (c == '>') inTag = false;
      continue;
    }
    if (c == '<') {
      inTag = true;
      continue;
    }
    if (c == '&') {
      static const std::pair<const char*, const char*> kEntities[] = {
          {"&amp;", "&"},   {"&lt;", "<"},   {"&gt;", ">"},
          {"&quot;", "\""}, {"&nbsp;", " "}, {"&#39;", "'"}};
      bool done = false;
      for (const auto& [e, r] : kEntities) {
        if (html.compare(i, std::strlen(e), e) == 0) {
          out += r;
          i += std::strlen(e) - 1;
          done = true;
          break;
        }
      }
      if (done) continue;
    }
    out += c;
  }
  return out;
}

// The text form of a typed user property value, and back.
std::string ValueText(int type, const Value& v) {
  if (IsEmpty(v)) return "";
  switch (type) {
    case om::olNumber:
    case om::olCurrency: {
      char buf[G_ASCII_DTOSTR_BUF_SIZE];
      return g_ascii_formatd(buf, sizeof buf, "%.17g", ToDouble(v));
    }
    case om::olDateTime:
      return ToText(Value(ToDate(v)));
    case om::olYesNo:
      return ToBool(v) ? "True" : "False";
    default:
      return ToText(v);
  }
}

Value TypedValue(int type, const std::string& text) {
  switch (type) {
    case om::olNumber:
    case om::olCurrency:
      return text.empty() ? Value(0.0) : Value(g_ascii_strtod(text.c_str(), nullptr));
    case om::olDateTime:
      return text.empty()
                 ? Value(DateTime::None())
                 : ValueOr(Value(DateTime::None()), [&] { return Value(ToDate(Value(text))); });
    case om::olYesNo:
      return Value(text == "True");
    default:
      return Value(text);
  }
}

Value Converted(int type, const Value& v) {
  switch (type) {
    case om::olNumber:
    case om::olCurrency:
      return Value(ToDouble(v));
    case om::olDateTime:
      return Value(ToDate(v));
    case om::olYesNo:
      return Value(ToBool(v));
    default:
      return Value(ToText(v));
  }
}

struct FileIdentity {
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = 0;
  std::int64_t mtimeNs = 0;
  bool operator==(const FileIdentity&) const = default;
  static std::optional<FileIdentity> Of(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return std::nullopt;
    return Of(st);
  }
  static std::optional<FileIdentity> Of(int fd) {
    struct stat st {};
    if (fstat(fd, &st) != 0) return std::nullopt;
    return Of(st);
  }
  static FileIdentity Of(const struct stat& st) {
    return FileIdentity{
        st.st_dev, st.st_ino, st.st_size,
        static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
  }
};

class MaildirItem;

// ---------------------------------------------------------------------------
// Folders

class MaildirFolder : public om::Folder {
 public:
  MaildirFolder(std::shared_ptr<MaildirStore> store, FolderRef ref)
      : store_(std::move(store)), ref_(std::move(ref)) {}
  std::string Name() override {
    return ref_.names.empty() ? store_->displayName() : ref_.names.back();
  }
  std::string FolderPath() override {
    std::string p = "\\\\" + store_->displayName();
    for (const auto& n : ref_.names) p += "\\" + n;
    return p;
  }
  int DefaultItemType() override { return ref_.itemType; }
  std::shared_ptr<om::Folder> Parent() override {
    if (ref_.names.empty()) return nullptr;
    auto up = ref_.names;
    up.pop_back();
    return store_->MakeFolder(store_->RefFor(up));
  }
  std::shared_ptr<om::Folders> Folders() override;
  std::shared_ptr<om::Items> Items() override;

 private:
  std::shared_ptr<MaildirStore> store_;
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

std::shared_ptr<om::Folders> MaildirFolder::Folders() {
  std::vector<std::shared_ptr<om::Folder>> list;
  for (auto& r : store_->ChildFolders(ref_.names)) list.push_back(store_->MakeFolder(r));
  return std::make_shared<MaildirFolders>(std::move(list));
}

// ---------------------------------------------------------------------------
// Items

struct Entry {
  std::string unique, sub, file;
};

std::vector<Entry> Listing(const std::string& dir) {
  std::vector<Entry> out;
  if (dir.empty()) return out;
  for (const char* sub : {"cur", "new"})
    ListDir(dir + "/" + sub, [&](const std::string& name) {
      out.push_back({MaildirFileName::Parse(name).unique, sub, name});
    });
  std::sort(out.begin(), out.end(), [](const Entry& a, const Entry& b) {
    return a.unique != b.unique ? a.unique < b.unique : a.file < b.file;
  });
  return out;
}

std::optional<Entry> FindByUnique(const std::string& dir, const std::string& unique) {
  std::optional<Entry> found;
  for (const char* sub : {"cur", "new"}) {
    ListDir(dir + "/" + sub, [&](const std::string& name) {
      if (!found && MaildirFileName::Parse(name).unique == unique) found = Entry{unique, sub, name};
    });
  }
  return found;
}

// --- interrupted saves ---
//
// A rewrite never has two copies of the message in the folder at any instant: the
// new file is exchanged with the old one in place (the old name now holds the new
// message, the old message sits in tmp/), and only then renamed to its new unique
// name. Before the exchange the writer leaves "tmp/.stowbright-replace-<new unique>"
// naming the old file ("sub/file") and the inode of the new one. A writer killed
// between the exchange and the rename leaves the new message under the old name
// (with a stale ",S=" and ",U="): the next process that lists the folder finishes
// the rename, and removes what is left in tmp/ (the old message after the exchange,
// or a new one that never got in). Only the notes and temporaries of a writer of
// this host that no longer runs are touched, so a save in progress in another
// process is left alone.
constexpr const char* kReplaceNote = ".stowbright-replace-";

// The process that made a unique name of NewUniqueName on this host; 0 when the
// name is not one of ours.
long OurWriterPid(const std::string& unique) {
  static const std::string host = [] {
    std::string probe = NewUniqueName(0);
    std::size_t r = probe.find('R');
    std::size_t dot = r == std::string::npos ? r : probe.find('.', r);
    return dot == std::string::npos ? std::string() : probe.substr(dot + 1);
  }();
  std::size_t m = unique.find(".M");
  if (m == std::string::npos || m == 0 || host.empty()) return 0;
  for (std::size_t i = 0; i < m; ++i)
    if (!isdigit(static_cast<unsigned char>(unique[i]))) return 0;
  std::size_t p = unique.find('P', m);
  std::size_t q = p == std::string::npos ? p : unique.find('Q', p);
  std::size_t r = q == std::string::npos ? q : unique.find('R', q);
  std::size_t dot = r == std::string::npos ? r : unique.find('.', r);
  if (dot == std::string::npos || unique.compare(dot + 1, std::string::npos, host) != 0) return 0;
  std::string pid = unique.substr(p + 1, q - p - 1);
  if (pid.empty() || pid.size() > 9 || pid.find_first_not_of("0123456789") != std::string::npos)
    return 0;
  return std::stol(pid);
}

bool WriterGone(const std::string& unique) {
  long pid = OurWriterPid(unique);
  if (pid <= 0 || pid == static_cast<long>(getpid())) return false;
  return kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

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
  if (fd < 0) RaiseErrno(errno, "Cannot save the message (" + path + ")");
  bool ok =
      write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) && fsync(fd) == 0;
  int err = errno;
  close(fd);
  if (!ok) {
    unlink(path.c_str());
    RaiseErrno(err ? err : ENOSPC, "Cannot save the message");
  }
}

void RemoveReplaceNote(const std::string& dir, const std::string& newUnique) {
  unlink((dir + "/tmp/" + kReplaceNote + newUnique).c_str());
}

// Renames the message at `at` (which holds the content of a save) to its new unique
// name, keeping the flags it has now. No-replace: a unique name is never taken twice.
std::optional<std::string> RenameToNewUnique(const std::string& dir, const Entry& at,
                                             const std::string& newUnique, bool flush = true) {
  std::string from = dir + "/" + at.sub + "/" + at.file;
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
  if (RenameNoReplace(from, stepPath) == 0) from = stepPath;
  if (RenameNoReplace(from, dir + "/" + at.sub + "/" + file) != 0) return std::nullopt;
  if (flush) FsyncDir(dir + "/" + at.sub);
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

// Finishes saves together: each folder is flushed once for all of them.
void FinishSaves(const std::vector<SaveTail>& tails) {
  std::set<std::string> subs, tmps;
  for (const auto& t : tails) subs.insert(t.dir + "/" + t.sub);
  for (const auto& d : subs) FsyncDir(d);
  for (const auto& t : tails) {
    unlink(t.tmp.c_str());
    if (t.renamed) RemoveReplaceNote(t.dir, t.newUnique);
    tmps.insert(t.dir + "/tmp");
  }
  for (const auto& d : tmps) FsyncDir(d);
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

// The message of dir (cur/ or new/) whose file is inode ino.
std::optional<Entry> FindByInode(const std::string& dir, ino_t ino) {
  for (const char* sub : {"cur", "new"}) {
    DIR* d = opendir((dir + "/" + sub).c_str());
    if (!d) continue;
    std::optional<Entry> found;
    while (dirent* e = readdir(d)) {
      if (e->d_ino != ino || e->d_name[0] == '.') continue;
      std::string file = e->d_name;
      found = Entry{MaildirFileName::Parse(file).unique, sub, file};
      break;
    }
    closedir(d);
    if (found) return found;
  }
  return std::nullopt;
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
    std::string atPath = dir + "/" + at->sub + "/" + at->file;
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
  std::string rescued = RewrittenFileName(
      name, NewUniqueName(time(nullptr)), stat(tmp.c_str(), &st) == 0 ? st.st_size : 0);
  if (RenameNoReplace(tmp, dir + "/cur/" + rescued) == 0) FsyncDir(dir + "/cur");
  return false;
}

void FinishInterruptedSaves(const std::string& dir) {
  if (dir.empty()) return;
  std::vector<std::string> names;
  DIR* d = opendir((dir + "/tmp").c_str());
  if (!d) return;
  while (dirent* e = readdir(d)) names.emplace_back(e->d_name);
  closedir(d);
  bool changed = false;
  for (const auto& name : names) {
    std::string tmpPath = dir + "/tmp/" + name;
    if (name.rfind(kReplaceNote, 0) == 0) {
      std::string newUnique = name.substr(std::strlen(kReplaceNote));
      if (!WriterGone(newUnique)) continue;
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
        if (auto at = FindByInode(dir, noteSt.st_ino); at && !RenameToNewUnique(dir, *at, newUnique))
          continue;  // left for a later listing
      }
      if (plain && !FindByUnique(dir, newUnique)) {
        // The old name holds the new message exactly when the exchange happened.
        if (auto at = FindByUnique(dir, oldUnique)) {
          struct stat st {};
          std::string atPath = dir + "/" + at->sub + "/" + at->file;
          if (stat(atPath.c_str(), &st) == 0 && std::to_string(st.st_ino) == inoText &&
              !RenameToNewUnique(dir, *at, newUnique))
            continue;  // left for a later listing
        }
      }
      // What is left in tmp/ is the old message (replaced) or a new one that never got in.
      unlink((dir + "/tmp/" + newUnique).c_str());
      unlink(tmpPath.c_str());
      changed = true;
    } else if (name[0] != '.' && WriterGone(name)) {
      unlink(tmpPath.c_str());
      changed = true;
    }
  }
  if (changed) FsyncDir(dir + "/tmp");
}

}  // namespace

class MaildirItems : public om::Items {
 public:
  MaildirItems(std::shared_ptr<MaildirStore> store, FolderRef ref)
      : store_(std::move(store)), ref_(std::move(ref)) {}
  ~MaildirItems() override {
    if (watch_ && loop_) loop_->UnwatchFd(watch_->fd());
  }

  std::int64_t Count() override {
    std::int64_t n = 0;
    if (ref_.dir.empty()) return 0;
    for (const char* sub : {"cur", "new"})
      ListDir(ref_.dir + "/" + sub, [&](const std::string&) { ++n; });
    return n;
  }

  std::shared_ptr<om::Item> Item(std::int64_t index) override {
    const auto& list = Cached();
    if (index < 1 || index > static_cast<std::int64_t>(list.size()))
      Raise(errnum::kSubscriptOutOfRange, kSource, "Array index out of bounds");
    const Entry& e = list[static_cast<std::size_t>(index - 1)];
    return store_->MakeItem(ref_, e.sub, e.file);
  }

  std::unique_ptr<om::ItemEnumerator> Enumerate() override;

  Event<std::shared_ptr<om::Item>>& ItemAdd() override {
    StartWatching();
    return itemAdd_;
  }

  void Expect(const std::string& unique) {
    if (watch_) watch_->Expect(unique);
  }
  const FolderRef& ref() const { return ref_; }
  const std::shared_ptr<MaildirStore>& store() const { return store_; }
  std::shared_ptr<MaildirItems> Self() {
    return std::static_pointer_cast<MaildirItems>(shared_from_this());
  }

 private:
  const std::vector<Entry>& Cached() {
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
      cache_ = Listing(ref_.dir);
      cacheStamp_ = stamp;
      cacheValid_ = true;
    }
    return cache_;
  }

  void StartWatching() {
    if (watch_ || ref_.names.empty() || ref_.itemType != om::olMailItem) return;
    platform::MessageLoop* loop = platform::Platform().loop;
    if (!loop) return;
    store_->Materialize(ref_);
    std::weak_ptr<MaildirItems> weak = Self();
    watch_ = std::make_unique<FolderWatch>(
        ref_.dir, [weak](const std::vector<std::pair<std::string, std::string>>& fresh) {
          auto self = weak.lock();
          if (!self) return;
          for (const auto& [sub, file] : fresh) {
            // A file that is gone again by the time the loop runs was a passing one.
            if (!FileIdentity::Of(self->ref_.dir + "/" + sub + "/" + file)) continue;
            self->itemAdd_.Raise(self->store_->MakeItem(self->ref_, sub, file));
          }
        });
    loop_ = loop;
    FolderWatch* w = watch_.get();
    loop->WatchFd(w->fd(), [weak, w] {
      if (auto self = weak.lock())
        if (self->watch_.get() == w) w->ReadEvents();
    });
  }

  std::shared_ptr<MaildirStore> store_;
  FolderRef ref_;
  Event<std::shared_ptr<om::Item>> itemAdd_;
  std::unique_ptr<FolderWatch> watch_;
  platform::MessageLoop* loop_ = nullptr;
  std::vector<Entry> cache_;
  std::uint64_t cacheStamp_ = 0;
  bool cacheValid_ = false;
};

namespace {

class MaildirEnumerator : public om::ItemEnumerator {
 public:
  MaildirEnumerator(std::shared_ptr<MaildirItems> items, std::vector<Entry> snapshot)
      : items_(std::move(items)), snapshot_(std::move(snapshot)) {}

  std::shared_ptr<om::Item> Next() override {
    const auto& store = items_->store();
    const std::string& dir = items_->ref().dir;
    while (index_ < snapshot_.size()) {
      Entry e = snapshot_[index_++];
      // An item rewritten before the walk reached it is visited under its new name;
      // one rewritten after it was visited has a name the snapshot never held.
      std::string current = store->FollowRewrites(dir, e.unique);
      if (!visited_.insert(current).second) continue;
      std::optional<Entry> found;
      if (current == e.unique && FileIdentity::Of(dir + "/" + e.sub + "/" + e.file))
        found = e;
      else
        found = FindByUnique(dir, current);
      if (!found) continue;  // deleted meanwhile
      return store->MakeItem(items_->ref(), found->sub, found->file);
    }
    return nullptr;
  }

 private:
  std::shared_ptr<MaildirItems> items_;
  std::vector<Entry> snapshot_;
  std::size_t index_ = 0;
  std::unordered_set<std::string> visited_;
};

}  // namespace

std::unique_ptr<om::ItemEnumerator> MaildirItems::Enumerate() {
  return std::make_unique<MaildirEnumerator>(Self(), Listing(ref_.dir));
}

namespace {

std::shared_ptr<om::Items> FolderItems(const std::shared_ptr<MaildirStore>& store,
                                       const FolderRef& ref) {
  return store->ItemsOf(ref);
}

}  // namespace

std::shared_ptr<om::Items> MaildirFolder::Items() {
  return FolderItems(store_, store_->RefFor(ref_.names));
}

// ---------------------------------------------------------------------------
// Items, attachments, user properties

namespace {

struct AttachmentState {
  GRef<GMimeObject> part;
  bool deleted = false;
  std::optional<std::int64_t> size;
  std::optional<bool> hidden;  // set through SetField, not yet saved
  std::optional<std::string> sha256;  // of the decoded bytes, once they were read
  std::vector<int> indexes;           // where it sat as the mail was first read
  std::string madeName;               // for a nameless part the HTML shows by "cid:"
};

// A part taken out of the mail and what brings it back.
struct Removed {
  RemovedPart part;
  bool restored = false;
};

struct PropertyState {
  std::string name;
  int type = om::olText;
  Value value;
};

class MaildirItem : public om::Item {
 public:
  MaildirItem(std::shared_ptr<MaildirStore> store, FolderRef ref, std::string sub, std::string file)
      : store_(std::move(store)),
        ref_(std::move(ref)),
        sub_(std::move(sub)),
        file_(std::move(file)) {
    unique_ = MaildirFileName::Parse(file_).unique;
  }
  // A new unsaved mail.
  MaildirItem(std::shared_ptr<MaildirStore> store, FolderRef drafts)
      : store_(std::move(store)), ref_(std::move(drafts)), sub_("cur") {
    doc_ = mime::Document::NewMail();
  }

  std::string MessageClass() override;
  std::string EntryID() override {
    Alive();
    return unique_;
  }
  std::string Subject() override {
    Alive();
    if (subject_) return *subject_;
    const char* s = g_mime_message_get_subject(HeaderMessage());
    return s ? s : "";
  }
  void SetSubject(const std::string& subject) override {
    Alive();
    subject_ = subject;
  }
  DateTime ReceivedTime() override {
    Alive();
    if (unique_.empty()) return DateTime::None();
    return DateTime::FromUnix(DeliverySeconds());
  }
  std::string ConversationIndex() override;
  std::string ConversationTopic() override {
    Alive();
    std::string topic = mime::RawHeader(GMIME_OBJECT(HeaderMessage()), "Thread-Topic");
    if (!topic.empty()) {
      char* d = g_mime_utils_header_decode_text(nullptr, topic.c_str());
      topic = d ? d : topic;
      g_free(d);
      return topic;
    }
    if (unique_.empty() && !threaded_) return "";
    return StripReplyPrefixes(Subject());
  }
  std::shared_ptr<om::Folder> Parent() override {
    Alive();
    return store_->MakeFolder(store_->RefFor(ref_.names));
  }
  std::string HTMLBody() override {
    auto b = mime::FindBodies(SoundDoc()->message());
    return b.html ? mime::PartText(b.html) : "";
  }
  void SetHTMLBody(const std::string& html) override {
    RefuseIfSealed(nullptr);
    mime::SetHtmlBody(SoundDoc()->message(), html);
  }
  std::string Body() override {
    auto b = mime::FindBodies(SoundDoc()->message());
    if (b.plain) return mime::PartText(b.plain);
    return b.html ? HtmlToText(mime::PartText(b.html)) : "";
  }
  void SetBody(const std::string& text) override {
    RefuseIfSealed(nullptr);
    mime::SetPlainBody(SoundDoc()->message(), text);
  }
  std::string To() override {
    Alive();
    InternetAddressList* to = g_mime_message_get_to(HeaderMessage());
    char* s = to ? internet_address_list_to_string(to, nullptr, FALSE) : nullptr;
    std::string r = s ? s : "";
    g_free(s);
    return r;
  }
  void SetTo(const std::string& to) override {
    InternetAddressList* list = g_mime_message_get_to(SoundDoc()->message());
    internet_address_list_clear(list);
    InternetAddressList* parsed = internet_address_list_parse(nullptr, to.c_str());
    if (parsed) {
      internet_address_list_append(list, parsed);
      g_object_unref(parsed);
    }
  }
  std::string BillingInformation() override {
    Alive();
    if (billing_) return *billing_;
    if (!doc_ && !headers_)
      if (auto quick = QuickBilling()) return *quick;
    return StoredBilling(HeaderMessage());
  }
  void SetBillingInformation(const std::string& text) override {
    Alive();
    billing_ = text;
  }
  std::shared_ptr<om::UserProperties> UserProperties() override;
  std::shared_ptr<om::Attachments> Attachments() override;
  void Save() override;
  void Delete() override;
  void DeletePermanently() override;
  void Display() override {
    Alive();
    hostapp::DisplayItem(Self());
  }
  std::shared_ptr<om::Item> Reply() override { return Respond(true); }
  std::shared_ptr<om::Item> Forward() override { return Respond(false); }

  // --- for the attachment and property objects ---
  std::shared_ptr<MaildirItem> Self() {
    return std::static_pointer_cast<MaildirItem>(shared_from_this());
  }
  void Alive() {
    if (gone_) Raise(errnum::kObjectGone, kSource, "The item has been moved or deleted");
  }
  std::shared_ptr<mime::Document> SoundDoc() {
    Alive();
    auto d = Doc();
    if (!d->damage().empty())
      Raise(errnum::kFail, kSource,
            "The message \"" + Subject() + "\" (" + file_ + ") is damaged: " + d->damage() +
                ". It was left unchanged.");
    return d;
  }
  std::vector<std::shared_ptr<AttachmentState>> AttachmentStates() {
    auto doc = SoundDoc();
    std::vector<std::shared_ptr<AttachmentState>> out;
    auto parts = mime::AttachmentParts(doc->message());
    bool first = states_.empty();
    auto madeNames = first ? mime::NamelessInlineNames(doc->message(), parts)
                           : std::map<GMimeObject*, std::string>();
    for (GMimeObject* part : parts) {
      auto& st = states_[part];
      if (!st) {
        st = std::make_shared<AttachmentState>();
        st->part = GRef<GMimeObject>::Share(part);
        for (const auto& level : Ancestry(doc->message(), part))
          st->indexes.push_back(level.second);
        st->madeName = madeNames[part];
      }
      out.push_back(st);
    }
    return out;
  }
  // The parts taken out of the mail that can still come back: those of earlier saves
  // (from their marks) and those of this one.
  std::vector<std::shared_ptr<Removed>>& RemovedParts() {
    if (!removed_) removed_ = StoredRemovedParts(SoundDoc()->message());
    return *removed_;
  }
  // Takes the removed part that a file of this name, size and digest brings back.
  std::optional<RemovedPart> TakeRemoved(const std::string& name, std::int64_t size,
                                         const std::string& sha256) {
    for (auto& r : RemovedParts()) {
      if (r->restored || r->part.name != name || r->part.size != size || r->part.sha256 != sha256)
        continue;
      r->restored = true;
      return r->part;
    }
    return std::nullopt;
  }
  void NoteRemoved(RemovedPart part) {
    RemovedParts().push_back(std::make_shared<Removed>(Removed{std::move(part), false}));
  }
  // Signed or encrypted mail is never changed: a change inside would break it.
  void RefuseIfSealed(GMimeObject* part) {
    GMimeMessage* m = SoundDoc()->message();
    if (part ? !mime::InsideSealed(m, part) : !mime::IsSealed(m)) return;
    sealedEditRefused_ = true;
    RaiseSealed();
  }
  [[noreturn]] void RaiseSealed() {
    Raise(errnum::kFail, kSource,
          "The message \"" + Subject() +
              "\" is signed or encrypted: changing it would break it. It was left unchanged.");
  }
  bool StoredHidden(GMimeObject* part) {
    std::string raw = mime::RawHeader(part, kHiddenHeader);
    if (raw.empty()) return false;
    auto p = Params(raw);
    std::string id = MessageIdOf(SoundDoc()->message());
    std::string name = mime::PartFileName(part);
    return p["v"] == "1" && store_->auth().Verify({"hidden", id, name}, p["mac"]);
  }
  std::vector<std::shared_ptr<PropertyState>>& Properties() {
    Alive();
    if (!props_) props_ = StoredProperties(HeaderMessage());
    return *props_;
  }
  void CheckConflict() {
    if (unique_.empty()) return;
    auto loc = Locate();
    if (HasDuplicate(loc))
      Raise(errnum::kItemInConflict, kSource,
            "The item is in conflict: the folder holds more than one copy of " + unique_);
  }
  std::string TempDir() const {
    return ref_.exists ? ref_.dir + "/tmp" : std::string(g_get_tmp_dir());
  }

 private:
  GMimeMessage* HeaderMessage() {
    if (doc_) return doc_->message();
    if (!headers_) {
      std::string path = Path();
      if (!FileIdentity::Of(path)) Locate();
      path = Path();
      Remember(path);
      headers_ = mime::Document::ParseHeaders(path);
    }
    return headers_->message();
  }
  std::shared_ptr<mime::Document> Doc() {
    if (!doc_) {
      std::string path = Path();
      if (!FileIdentity::Of(path)) Locate();
      path = Path();
      Remember(path);
      doc_ = mime::Document::Parse(path);
    }
    return doc_;
  }
  void Remember(const std::string& path) {
    if (!loaded_) loaded_ = FileIdentity::Of(path);
  }
  std::string Path() const { return ref_.dir + "/" + sub_ + "/" + file_; }
  void Store();
  void ReplaceOld(const std::string& tmp, const std::string& newUnique, ino_t newIno);
  [[noreturn]] void RaiseChanged() {
    Raise(errnum::kItemInConflict, kSource,
          "The item \"" + Subject() +
              "\" was changed by another program since it was read; it was left unchanged");
  }

  // Finds the file by its unique name, wherever another program has put it.
  Entry Locate() {
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
  bool HasDuplicate(const Entry& at) {
    if (at.sub == "cur") {
      // The usual leftover: a delivery still in new/ beside its copy in cur/.
      auto n = MaildirFileName::Parse(at.file);
      n.info.reset();
      return FileIdentity::Of(ref_.dir + "/new/" + n.ToString()) ||
             FileIdentity::Of(ref_.dir + "/new/" + unique_);
    }
    int count = 0;
    for (const char* sub : {"cur", "new"})
      ListDir(ref_.dir + "/" + sub, [&](const std::string& name) {
        if (MaildirFileName::Parse(name).unique == unique_) ++count;
      });
    return count > 1;
  }

  std::int64_t DeliverySeconds() {
    if (auto t = DeliveryTimeOfUnique(unique_)) return *t;
    auto received = mime::RawHeaders(GMIME_OBJECT(HeaderMessage()), "Received");
    if (!received.empty()) {
      auto semi = received.front().rfind(';');
      if (semi != std::string::npos) {
        GDateTime* d = g_mime_utils_header_decode_date(received.front().substr(semi + 1).c_str());
        if (d) {
          std::int64_t s = g_date_time_to_unix(d);
          g_date_time_unref(d);
          return s;
        }
      }
    }
    struct stat st {};
    if (stat(Path().c_str(), &st) == 0) return st.st_mtime;
    return static_cast<std::int64_t>(time(nullptr));
  }

  // BillingInformation from the header block read without GMime, which a sweep over
  // a large folder asks of every message; nullopt when GMime has to read it.
  std::optional<std::string> QuickBilling() {
    int fd = open(Path().c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;  // moved meanwhile: HeaderMessage() finds it
    if (!loaded_) loaded_ = FileIdentity::Of(fd);
    auto block = loaded_ ? scan::ReadSimpleHeaderBlock(fd, {kBillingHeader, "Message-ID"})
                         : std::nullopt;
    close(fd);
    if (!block) return std::nullopt;
    auto values = block->Values(kBillingHeader);
    if (values.empty()) return std::string();
    return BillingOf(block->MessageId(), values);
  }

  // A mark that does not verify but names a secret other than the store's was made
  // by this program under a secret since changed or lost: its records are not
  // believed, and must not be dropped either. (One without the name, or naming the
  // store's own secret, is forged or damaged, and is simply not believed.)
  bool IsForeign(std::map<std::string, std::string>& p) {
    return p["v"] == "1" && !p["k"].empty() && p["k"] != store_->auth().KeyId();
  }
  void NoteIfForeign(std::map<std::string, std::string>& p) {
    if (IsForeign(p)) store_->NoteUnverifiable(unique_);
  }
  bool CarriesForeignMarks(GMimeMessage* m) {
    for (const char* header : {kBillingHeader, kPropertyHeader, kPartHeader})
      for (const auto& raw : mime::RawHeaders(GMIME_OBJECT(m), header)) {
        auto p = Params(raw);
        if (IsForeign(p)) return true;
      }
    return false;
  }

  std::string BillingOf(const std::string& id, const std::vector<std::string>& values) {
    for (const auto& raw : values) {
      auto p = Params(raw);
      auto value = UnB64(p["value"]);
      if (p["v"] == "1" && value && store_->auth().Verify({"billing", id, *value}, p["mac"]))
        return *value;
      NoteIfForeign(p);
    }
    return "";
  }

  std::string StoredBilling(GMimeMessage* m) {
    return BillingOf(MessageIdOf(m), mime::RawHeaders(GMIME_OBJECT(m), kBillingHeader));
  }

  std::vector<std::shared_ptr<Removed>> StoredRemovedParts(GMimeMessage* m) {
    std::vector<std::shared_ptr<Removed>> out;
    std::string id = MessageIdOf(m);
    for (const auto& raw : mime::RawHeaders(GMIME_OBJECT(m), kPartHeader)) {
      auto p = Params(raw);
      auto data = UnB64(p["data"]);
      if (p["v"] != "1" || !data || !store_->auth().Verify({"part", id, *data}, p["mac"])) {
        NoteIfForeign(p);
        continue;
      }
      if (auto part = RemovedPart::FromText(*data))
        out.push_back(std::make_shared<Removed>(Removed{std::move(*part), false}));
    }
    return out;
  }

  std::vector<std::shared_ptr<PropertyState>> StoredProperties(GMimeMessage* m) {
    std::vector<std::shared_ptr<PropertyState>> out;
    std::string id = MessageIdOf(m);
    for (const auto& raw : mime::RawHeaders(GMIME_OBJECT(m), kPropertyHeader)) {
      auto p = Params(raw);
      auto name = UnB64(p["name"]);
      auto value = UnB64(p["value"]);
      if (p["v"] != "1" || !name || !value || name->empty()) continue;
      if (!store_->auth().Verify({"property", id, *name, p["type"], *value}, p["mac"])) {
        NoteIfForeign(p);
        continue;
      }
      auto type = ParseInteger(p["type"]);
      if (!type) continue;
      bool dup = false;
      for (auto& s : out) dup = dup || SameName(s->name, *name);
      if (dup) continue;
      auto st = std::make_shared<PropertyState>();
      st->name = *name;
      st->type = static_cast<int>(*type);
      st->value = TypedValue(st->type, *value);
      out.push_back(st);
    }
    return out;
  }

  // Writes the pending subject, billing text, properties and hidden flags into the
  // document, replacing whatever such headers it carried.
  void ApplyPending(GMimeMessage* m) {
    std::map<GMimeObject*, bool> hidden;
    for (auto& st : AttachmentStates())
      hidden[st->part.get()] = st->hidden ? *st->hidden : StoredHidden(st->part.get());
    std::string billing = billing_ ? *billing_ : StoredBilling(m);
    auto props = props_ ? *props_ : StoredProperties(m);
    auto& removed = RemovedParts();
    if (MessageIdOf(m).empty()) {
      char* id = g_mime_utils_generate_message_id(g_get_host_name());
      g_mime_message_set_message_id(m, id);
      g_free(id);
    }
    if (unique_.empty() && !g_mime_message_get_date(m)) {
      GDateTime* now = g_date_time_new_now_local();
      g_mime_message_set_date(m, now);
      g_date_time_unref(now);
    }
    if (subject_) g_mime_message_set_subject(m, subject_->c_str(), "utf-8");
    std::string id = MessageIdOf(m);
    GMimeObject* top = GMIME_OBJECT(m);
    while (g_mime_object_remove_header(top, kBillingHeader)) {
    }
    while (g_mime_object_remove_header(top, kPropertyHeader)) {
    }
    while (g_mime_object_remove_header(top, kPartHeader)) {
    }
    if (!billing.empty()) {
      std::string v = "v=1; value=" + Chunked(B64(billing)) +
                      "; k=" + store_->auth().KeyId() +
                      "; mac=" + store_->auth().Sign({"billing", id, billing});
      g_mime_object_append_header(top, kBillingHeader, v.c_str(), nullptr);
    }
    for (auto& p : props) {
      std::string text = ValueText(p->type, p->value);
      std::string type = std::to_string(p->type);
      std::string v = "v=1; name=" + B64(p->name) + "; type=" + type +
                      "; value=" + Chunked(B64(text)) +
                      "; k=" + store_->auth().KeyId() +
                      "; mac=" + store_->auth().Sign({"property", id, p->name, type, text});
      g_mime_object_append_header(top, kPropertyHeader, v.c_str(), nullptr);
    }
    for (const auto& r : removed) {
      if (r->restored) continue;
      std::string data = r->part.ToText();
      std::string v = "v=1; k=" + store_->auth().KeyId() + "; data=" + Chunked(B64(data)) +
                      "; mac=" + store_->auth().Sign({"part", id, data});
      g_mime_object_append_header(top, kPartHeader, v.c_str(), nullptr);
    }
    ClearHidden(g_mime_message_get_mime_part(m));
    for (auto& [part, on] : hidden) {
      if (!on) continue;
      std::string v = "v=1; k=" + store_->auth().KeyId() +
                      "; mac=" + store_->auth().Sign({"hidden", id, mime::PartFileName(part)});
      g_mime_object_set_header(part, kHiddenHeader, v.c_str(), nullptr);
    }
  }
  static void ClearHidden(GMimeObject* o) {
    if (!o) return;
    while (g_mime_object_remove_header(o, kHiddenHeader)) {
    }
    if (GMIME_IS_MULTIPART(o)) {
      int n = g_mime_multipart_get_count(GMIME_MULTIPART(o));
      for (int i = 0; i < n; ++i) ClearHidden(g_mime_multipart_get_part(GMIME_MULTIPART(o), i));
    }
  }

  std::shared_ptr<om::Item> Respond(bool reply);

  std::shared_ptr<MaildirStore> store_;
  FolderRef ref_;
  std::string sub_, file_, unique_;
  std::shared_ptr<mime::Document> headers_, doc_;
  std::optional<FileIdentity> loaded_;
  std::optional<std::string> subject_, billing_;
  std::optional<std::vector<std::shared_ptr<PropertyState>>> props_;
  std::map<GMimeObject*, std::shared_ptr<AttachmentState>> states_;
  std::optional<std::vector<std::shared_ptr<Removed>>> removed_;
  bool sealedEditRefused_ = false;
  bool gone_ = false;
  bool threaded_ = false;  // a reply or forward made here
};

std::string MaildirItem::MessageClass() {
  Alive();
  if (unique_.empty() && !doc_) return "IPM.Note";
  GMimeMessage* m = HeaderMessage();
  GMimeObject* top = g_mime_message_get_mime_part(m);
  std::string type = mime::MimeType(top);
  auto param = [&](GMimeObject* o, const char* name) {
    const char* v = g_mime_object_get_content_type_parameter(o, name);
    std::string s = v ? v : "";
    for (auto& c : s) c = g_ascii_toupper(c);
    return s;
  };
  auto calendarClass = [&](GMimeObject* o) -> std::string {
    std::string method = param(o, "method");
    if (method == "REQUEST") return "IPM.Schedule.Meeting.Request";
    if (method == "CANCEL") return "IPM.Schedule.Meeting.Canceled";
    return "";
  };
  if (type == "MULTIPART/SIGNED") return "IPM.Note.SMIME.MultipartSigned";
  if (type == "APPLICATION/PKCS7-MIME" || type == "APPLICATION/X-PKCS7-MIME")
    return "IPM.Note.SMIME";
  if (type == "MULTIPART/ENCRYPTED") return "IPM.Note.Secure";
  if (type == "MULTIPART/REPORT") {
    std::string report = param(top, "report-type");
    if (report == "DELIVERY-STATUS") return "REPORT.IPM.Note.NDR";
    if (report == "DISPOSITION-NOTIFICATION") return "REPORT.IPM.Note.IPNRN";
  }
  if (type == "TEXT/CALENDAR") {
    std::string c = calendarClass(top);
    if (!c.empty()) return c;
  }
  if (type.rfind("MULTIPART/", 0) == 0 && !unique_.empty()) {
    // An invitation hides a text/calendar part inside; only a file that mentions
    // one is worth a structural parse.
    if (doc_ || scan::FileMentions(Path(), "text/calendar")) {
      auto doc = Doc();
      std::string found;
      std::function<void(GMimeObject*)> walk = [&](GMimeObject* o) {
        if (!found.empty() || !o) return;
        if (GMIME_IS_MULTIPART(o)) {
          int n = g_mime_multipart_get_count(GMIME_MULTIPART(o));
          for (int i = 0; i < n; ++i) walk(g_mime_multipart_get_part(GMIME_MULTIPART(o), i));
        } else if (mime::MimeType(o) == "TEXT/CALENDAR") {
          found = calendarClass(o);
        }
      };
      walk(g_mime_message_get_mime_part(doc->message()));
      if (!found.empty()) return found;
    }
  }
  if (!mime::RawHeader(GMIME_OBJECT(m), "Newsgroups").empty() &&
      mime::RawHeader(GMIME_OBJECT(m), "To").empty())
    return "IPM.Post";
  return "IPM.Note";
}

std::string MaildirItem::ConversationIndex() {
  Alive();
  GMimeMessage* m = HeaderMessage();
  std::string threadIndex = mime::RawHeader(GMIME_OBJECT(m), "Thread-Index");
  if (!threadIndex.empty()) {
    std::string clean;
    for (char c : threadIndex)
      if (!g_ascii_isspace(c)) clean += c;
    if (auto raw = UnB64(clean); raw && !raw->empty())
      return Hex(reinterpret_cast<const guchar*>(raw->data()), raw->size());
  }
  if (unique_.empty() && !threaded_) return "";
  // Derived the way the host builds one: a 22-byte header for the thread's root
  // (time and a hash of the root message id), then 5 bytes per reply level.
  std::vector<std::string> refs;
  if (GMimeReferences* r = g_mime_references_parse(
          nullptr, mime::RawHeader(GMIME_OBJECT(m), "References").c_str())) {
    for (int i = 0; i < g_mime_references_length(r); ++i)
      refs.emplace_back(g_mime_references_get_message_id(r, i));
    g_mime_references_free(r);
  }
  if (refs.empty()) {
    if (GMimeReferences* r = g_mime_references_parse(
            nullptr, mime::RawHeader(GMIME_OBJECT(m), "In-Reply-To").c_str())) {
      if (g_mime_references_length(r) > 0)
        refs.emplace_back(g_mime_references_get_message_id(r, 0));
      g_mime_references_free(r);
    }
  }
  std::string root = refs.empty() ? MessageIdOf(m) : refs.front();
  if (root.empty()) root = unique_;
  std::string bytes(1, '\x01');
  std::string h = Md5("time:" + root);
  bytes += h.substr(0, 5);
  bytes += Md5(root);
  for (std::size_t i = 1; i < refs.size(); ++i) bytes += Md5(refs[i]).substr(0, 5);
  if (!refs.empty()) bytes += Md5(MessageIdOf(m)).substr(0, 5);
  return Hex(reinterpret_cast<const guchar*>(bytes.data()), bytes.size());
}

std::shared_ptr<om::Item> MaildirItem::Respond(bool reply) {
  Alive();
  auto fresh = std::static_pointer_cast<MaildirItem>(store_->CreateMailItem());
  GMimeMessage* src = HeaderMessage();
  GMimeMessage* dst = fresh->doc_->message();
  std::string prefix = reply ? "RE: " : "FW: ";
  fresh->subject_ = prefix + StripReplyPrefixes(Subject());
  std::string topic = ConversationTopic();
  g_mime_object_set_header(GMIME_OBJECT(dst), "Thread-Topic", topic.c_str(), "utf-8");
  std::string index = ConversationIndex();
  std::string raw;
  for (std::size_t i = 0; i + 1 < index.size(); i += 2)
    raw += static_cast<char>(std::stoi(index.substr(i, 2), nullptr, 16));
  raw += Md5(std::to_string(g_get_real_time())).substr(0, 5);
  g_mime_object_set_header(GMIME_OBJECT(dst), "Thread-Index", B64(raw).c_str(), nullptr);
  std::string id = MessageIdOf(src);
  if (!id.empty()) {
    std::string refs = mime::RawHeader(GMIME_OBJECT(src), "References");
    refs = refs.empty() ? "<" + id + ">" : refs + " <" + id + ">";
    g_mime_object_set_header(GMIME_OBJECT(dst), "References", refs.c_str(), nullptr);
    if (reply)
      g_mime_object_set_header(GMIME_OBJECT(dst), "In-Reply-To", ("<" + id + ">").c_str(), nullptr);
  }
  if (reply) {
    InternetAddressList* from = g_mime_message_get_reply_to(src);
    if (!from || internet_address_list_length(from) == 0) from = g_mime_message_get_from(src);
    if (from) internet_address_list_append(g_mime_message_get_to(dst), from);
  }
  fresh->threaded_ = true;
  return fresh;
}

// --- attachments ---

class MaildirAttachment : public om::Attachment {
 public:
  MaildirAttachment(std::shared_ptr<MaildirItem> item, std::shared_ptr<AttachmentState> state)
      : item_(std::move(item)), state_(std::move(state)) {}

  std::string FileName() override {
    Alive();
    GMimeObject* p = state_->part.get();
    const char* f = g_mime_object_get_content_disposition_parameter(p, "filename");
    std::string name = f ? Clean(f) : mime::PartFileName(p);
    return name.empty() ? state_->madeName : name;
  }
  std::string DisplayName() override {
    Alive();
    GMimeObject* p = state_->part.get();
    const char* n = g_mime_object_get_content_type_parameter(p, "name");
    std::string name = n ? Clean(n) : mime::PartFileName(p);
    return name.empty() ? state_->madeName : name;
  }
  std::int64_t Size() override {
    Alive();
    if (!state_->size) state_->size = mime::DecodedSize(state_->part.get());
    return *state_->size;
  }
  Value Field(std::uint32_t tag) override {
    Alive();
    if (tag == om::PR_ATTACH_CONTENT_ID) {
      const char* id = g_mime_object_get_content_id(state_->part.get());
      std::string s = id ? id : "";
      s.erase(0, s.find_first_not_of(" \t"));
      s.erase(s.find_last_not_of(" \t") + 1);
      return s.empty() ? Value() : Value(s);
    }
    if (tag == om::PR_ATTACHMENT_HIDDEN) {
      bool h = state_->hidden ? *state_->hidden : item_->StoredHidden(state_->part.get());
      return Value(h);
    }
    return Value();
  }
  void SetField(std::uint32_t tag, const Value& v) override {
    Alive();
    if (tag == om::PR_ATTACH_CONTENT_ID) {
      std::string s = IsEmpty(v) ? "" : ToText(v);
      if (!s.empty() && s.front() == '<') s.erase(0, 1);
      if (!s.empty() && s.back() == '>') s.pop_back();
      if (s.empty())
        g_mime_object_remove_header(state_->part.get(), "Content-Id");
      else
        g_mime_object_set_content_id(state_->part.get(), s.c_str());
      return;
    }
    if (tag == om::PR_ATTACHMENT_HIDDEN) {
      state_->hidden = !IsEmpty(v) && ToBool(v);
      return;
    }
    Raise(errnum::kFail, kSource, "The property cannot be set on an attachment");
  }
  void SaveAsFile(const std::string& path) override {
    Alive();
    fs::path target(path);
    fs::path dir = target.parent_path().empty() ? fs::path(".") : target.parent_path();
    std::error_code ec;
    if (!fs::is_directory(dir, ec))
      Raise(errnum::kPathNotFound, kSource, "Path not found: " + dir.string());
    auto fill = [&](int fd) {
      std::int64_t decoded = 0;
      Digest digest;
      mime::DecodePart(state_->part.get(), [&](const char* data, std::size_t n) {
        decoded += static_cast<std::int64_t>(n);
        digest.Update(data, n);
        while (n > 0) {
          ssize_t w = write(fd, data, n);
          if (w < 0 && errno == EINTR) continue;
          if (w < 0) RaiseErrno(errno, "Cannot write " + path);
          data += w;
          n -= static_cast<std::size_t>(w);
        }
      });
      // The bytes were just decoded in full: Size() need not decode them again, nor
      // Delete to learn what brings them back.
      state_->size = decoded;
      state_->sha256 = digest.Hex();
      // The mode is set before the flush, so that the flush covers it and a caller's
      // own flush of the file finds nothing left to write.
      fchmod(fd, 0644 & ~CurrentUmask());
      // The caller may take the attachment out of the mail next: the file must be
      // on disk before that.
      if (fsync(fd) != 0) RaiseErrno(errno, "Cannot write " + path);
    };
    // A new file is written without a name and linked in whole, so that a process
    // killed while writing leaves no partial file in the user's folder.
    if (!fs::exists(target, ec)) {
      int fd = open(dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
      if (fd >= 0) {
        try {
          fill(fd);
        } catch (...) {
          close(fd);
          throw;
        }
        std::string self = "/proc/self/fd/" + std::to_string(fd);
        int rc = linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW);
        if (close(fd) != 0 && rc == 0) {
          int err = errno;
          unlink(path.c_str());
          RaiseErrno(err, "Cannot write " + path);
        }
        if (rc == 0) return;
        // Taken meanwhile, or no /proc: the named way below.
      }
    }
    std::string tmpl = (dir / ("." + target.filename().string() + ".partial-XXXXXX")).string();
    std::vector<char> name(tmpl.begin(), tmpl.end());
    name.push_back('\0');
    int fd = mkstemp(name.data());
    if (fd < 0) RaiseErrno(errno, "Cannot write " + path);
    std::string tmp = name.data();
    try {
      fill(fd);
      if (close(fd) != 0) {
        fd = -1;
        RaiseErrno(errno, "Cannot write " + path);
      }
      fd = -1;
      if (rename(tmp.c_str(), path.c_str()) != 0) RaiseErrno(errno, "Cannot write " + path);
    } catch (...) {
      if (fd >= 0) close(fd);
      unlink(tmp.c_str());
      throw;
    }
  }
  void Delete() override {
    Alive();
    GMimeObject* part = state_->part.get();
    item_->RefuseIfSealed(part);
    GMimeMessage* m = item_->SoundDoc()->message();
    if (!state_->sha256) {
      Digest digest;
      std::int64_t size = 0;
      bool exact = IgnoreErrors([&] {
                     mime::DecodePart(part, [&](const char* d, std::size_t n) {
                       digest.Update(d, n);
                       size += static_cast<std::int64_t>(n);
                     });
                   }) == 0;
      // Bytes that cannot be decoded exactly never came out whole: nothing to match.
      if (exact) {
        state_->size = size;
        state_->sha256 = digest.Hex();
      }
    }
    if (state_->sha256)
      item_->NoteRemoved(
          DescribePart(m, part, state_->indexes, FileName(), *state_->size, *state_->sha256));
    mime::RemovePart(m, part);
    state_->deleted = true;
  }

 private:
  static mode_t CurrentUmask() {
    mode_t m = umask(0);
    umask(m);
    return m;
  }
  static std::string Clean(const char* raw) {
    std::string s = raw;
    if (s.find("=?") != std::string::npos) {
      char* d = g_mime_utils_header_decode_text(nullptr, s.c_str());
      if (d) s = d;
      g_free(d);
    }
    for (auto& c : s)
      if (c == '/' || c == '\\' || static_cast<unsigned char>(c) < 0x20) c = '_';
    return s;
  }
  void Alive() {
    item_->Alive();
    if (state_->deleted) Raise(errnum::kObjectGone, kSource, "The attachment has been deleted");
  }
  std::shared_ptr<MaildirItem> item_;
  std::shared_ptr<AttachmentState> state_;
};

class MaildirAttachments : public om::Attachments {
 public:
  explicit MaildirAttachments(std::shared_ptr<MaildirItem> item) : item_(std::move(item)) {}
  std::int64_t Count() override {
    return static_cast<std::int64_t>(item_->AttachmentStates().size());
  }
  std::shared_ptr<om::Attachment> Item(std::int64_t index) override {
    auto states = item_->AttachmentStates();
    if (index < 1 || index > static_cast<std::int64_t>(states.size()))
      Raise(errnum::kSubscriptOutOfRange, kSource, "Array index out of bounds");
    return std::make_shared<MaildirAttachment>(item_, states[static_cast<std::size_t>(index - 1)]);
  }
  std::vector<std::shared_ptr<om::Attachment>> All() override {
    std::vector<std::shared_ptr<om::Attachment>> out;
    for (auto& st : item_->AttachmentStates())
      out.push_back(std::make_shared<MaildirAttachment>(item_, st));
    return out;
  }
  std::shared_ptr<om::Attachment> Add(const std::string& path,
                                      const std::string& displayName) override {
    auto doc = item_->SoundDoc();
    item_->RefuseIfSealed(nullptr);
    int src = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (src < 0) {
      int err = errno;
      Raise(err == ENOENT ? errnum::kFileNotFound : ErrnoNumber(err), kSource,
            "Cannot add the file " + path + ": " + std::strerror(err));
    }
    struct stat st {};
    fstat(src, &st);
    if (S_ISDIR(st.st_mode)) {
      close(src);
      Raise(errnum::kPermissionDenied, kSource,
            "Cannot add the folder " + path + " as an attachment");
    }
    // The bytes are copied now, as the host copies an attached file: the caller may
    // delete or change its file before Save. A small file is kept in memory; a
    // larger one in a private unlinked file (without a name where the file system
    // allows it, so that a process killed here leaves nothing behind).
    if (st.st_size <= kAddInMemoryBytes) {
      std::string bytes;
      std::vector<char> buf(static_cast<std::size_t>(st.st_size) + 1);
      bool grew = false;
      for (;;) {
        ssize_t n = ReadOrRaise(src, buf.data(), buf.size(), path, {src});
        if (n == 0) break;
        bytes.append(buf.data(), static_cast<std::size_t>(n));
        if (bytes.size() > static_cast<std::size_t>(kAddInMemoryBytes)) {
          grew = true;  // written to meanwhile: copied through a file below
          break;
        }
      }
      if (!grew) {
        close(src);
        GRef<GMimeStream> stream(g_mime_stream_mem_new_with_buffer(bytes.data(), bytes.size()));
        Digest digest;
        digest.Update(bytes.data(), bytes.size());
        return Attach(doc, stream.get(), path, displayName, static_cast<std::int64_t>(bytes.size()),
                      digest.Hex());
      }
      lseek(src, 0, SEEK_SET);
    }
    int copy = open(item_->TempDir().c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (copy < 0) {
      std::string tmpl = item_->TempDir() + "/.stowbright-add-XXXXXX";
      std::vector<char> name(tmpl.begin(), tmpl.end());
      name.push_back('\0');
      copy = mkstemp(name.data());
      if (copy < 0) {
        int err = errno;
        close(src);
        RaiseErrno(err, "Cannot add the file " + path);
      }
      unlink(name.data());
    }
    std::int64_t total = 0;
    Digest digest;
    std::vector<char> buf(1 << 16);
    for (;;) {
      ssize_t n = ReadOrRaise(src, buf.data(), buf.size(), path, {src, copy});
      if (n == 0) break;
      digest.Update(buf.data(), static_cast<std::size_t>(n));
      if (write(copy, buf.data(), static_cast<std::size_t>(n)) != n) {
        int err = errno;
        close(src);
        close(copy);
        RaiseErrno(err ? err : ENOSPC, "Cannot add the file " + path);
      }
      total += n;
    }
    close(src);
    lseek(copy, 0, SEEK_SET);  // the stream's bounds start where the descriptor is
    GRef<GMimeStream> stream(g_mime_stream_fs_new(copy));  // owns copy
    return Attach(doc, stream.get(), path, displayName, total, digest.Hex());
  }

 private:
  static constexpr off_t kAddInMemoryBytes = 1 << 20;

  // read(2) of the file being added; on an error the descriptors are closed and the
  // error raised.
  static ssize_t ReadOrRaise(int fd, char* buf, std::size_t size, const std::string& path,
                             std::initializer_list<int> closeOnError) {
    for (;;) {
      ssize_t n = read(fd, buf, size);
      if (n >= 0) return n;
      if (errno == EINTR) continue;
      int err = errno;
      for (int f : closeOnError) close(f);
      RaiseErrno(err, "Cannot read " + path);
    }
  }

  // A file with the name and the bytes of a part taken out of this mail brings that
  // part back as it was; any other is a new attachment.
  std::shared_ptr<om::Attachment> Attach(const std::shared_ptr<mime::Document>& doc,
                                         GMimeStream* content, const std::string& path,
                                         const std::string& displayName, std::int64_t size,
                                         const std::string& sha256) {
    std::string fileName = fs::path(path).filename().string();
    std::string shown = displayName.empty() ? fileName : displayName;
    GMimeObject* part = nullptr;
    if (auto removed = item_->TakeRemoved(shown, size, sha256))
      part = RestorePart(doc->message(), *removed, content);
    if (!part) {
      part = GMIME_OBJECT(mime::AddAttachmentPart(doc->message(), content, fileName));
      g_mime_object_set_content_type_parameter(part, "name", shown.c_str());
    }
    for (auto& s : item_->AttachmentStates()) {
      if (s->part.get() == part) {
        s->sha256 = sha256;
        s->size = size;
        return std::make_shared<MaildirAttachment>(item_, s);
      }
    }
    Raise(errnum::kFail, kSource, "The added attachment cannot be found");
  }

 private:
  std::shared_ptr<MaildirItem> item_;
};

std::shared_ptr<om::Attachments> MaildirItem::Attachments() {
  SoundDoc();
  return std::make_shared<MaildirAttachments>(Self());
}

// --- user properties ---

class MaildirUserProperty : public om::UserProperty {
 public:
  MaildirUserProperty(std::shared_ptr<MaildirItem> item, std::shared_ptr<PropertyState> state)
      : item_(std::move(item)), state_(std::move(state)) {}
  std::string Name() override { return state_->name; }
  int Type() override { return state_->type; }
  Value GetValue() override {
    item_->Alive();
    return state_->value;
  }
  void SetValue(const Value& v) override {
    item_->Alive();
    state_->value = Converted(state_->type, v);
    item_->Properties();  // the item's list now holds the edit until Save
  }

 private:
  std::shared_ptr<MaildirItem> item_;
  std::shared_ptr<PropertyState> state_;
};

class MaildirUserProperties : public om::UserProperties {
 public:
  explicit MaildirUserProperties(std::shared_ptr<MaildirItem> item) : item_(std::move(item)) {}
  std::shared_ptr<om::UserProperty> Find(const std::string& name) override {
    item_->CheckConflict();
    for (auto& p : item_->Properties())
      if (SameName(p->name, name)) return std::make_shared<MaildirUserProperty>(item_, p);
    return nullptr;
  }
  std::shared_ptr<om::UserProperty> Add(const std::string& name, int type, bool) override {
    if (name.empty()) Raise(errnum::kInvalidProcedureCall, kSource, "A property needs a name");
    auto& props = item_->Properties();
    for (auto& p : props) {
      if (!SameName(p->name, name)) continue;
      if (p->type != type)
        Raise(errnum::kFail, kSource,
              "The property \"" + name + "\" already exists with another type");
      return std::make_shared<MaildirUserProperty>(item_, p);
    }
    auto st = std::make_shared<PropertyState>();
    st->name = name;
    st->type = type;
    st->value = TypedValue(type, "");
    props.push_back(st);
    return std::make_shared<MaildirUserProperty>(item_, st);
  }
  std::int64_t Count() override { return static_cast<std::int64_t>(item_->Properties().size()); }

 private:
  std::shared_ptr<MaildirItem> item_;
};

std::shared_ptr<om::UserProperties> MaildirItem::UserProperties() {
  Alive();
  return std::make_shared<MaildirUserProperties>(Self());
}

// --- saving and deleting ---

void MaildirItem::Save() {
  try {
    Store();
  } catch (const ComError& e) {
    // Records another secret made are reported once, for all such items.
    if (!store_->UnverifiableItems().count(unique_)) store_->NoteSaveFailure(e.Description());
    throw;
  }
}

void MaildirItem::Store() {
  auto doc = SoundDoc();
  GMimeMessage* m = doc->message();
  // A change refused inside a signed or encrypted mail leaves the rest unsaved too:
  // records of attachments that stayed in it would only mislead.
  if (sealedEditRefused_) RaiseSealed();
  if (CarriesForeignMarks(m)) {
    store_->NoteUnverifiable(unique_);
    // Saving would drop the records the secret cannot verify.
    Raise(errnum::kFail, kSource,
          "The item \"" + Subject() + "\" carries records that the store secret (" +
              store_->secretPath() +
              ") cannot verify: the secret was changed or lost since they were made. It was "
              "left unchanged.");
  }
  std::optional<Entry> old;
  struct stat oldSt {};
  if (!unique_.empty()) {
    old = Locate();
    if (HasDuplicate(*old))
      Raise(errnum::kItemInConflict, kSource,
            "The item is in conflict: the folder holds more than one copy of " + unique_);
    std::string oldPath = ref_.dir + "/" + old->sub + "/" + old->file;
    auto now = FileIdentity::Of(oldPath);
    if (loaded_ && now && !(*now == *loaded_)) RaiseChanged();
    stat(oldPath.c_str(), &oldSt);
  } else {
    store_->Materialize(ref_);
  }
  ApplyPending(m);

  std::int64_t delivery =
      unique_.empty() ? static_cast<std::int64_t>(time(nullptr)) : DeliverySeconds();
  std::string newUnique = NewUniqueName(delivery);
  std::string tmp = ref_.dir + "/tmp/" + newUnique;
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                old ? (oldSt.st_mode & 0777) : 0600);
  if (fd < 0) RaiseErrno(errno, "Cannot save the message (" + tmp + ")");
  std::int64_t size = 0;
  ino_t newIno = 0;
  bool noted = false;
  try {
    mime::WriteMessage(m, fd);
    // What GMime reports as written is not always the file's size (filters count
    // their input); the size suffix must be the real one.
    struct stat written {};
    if (fstat(fd, &written) != 0) RaiseErrno(errno, "Cannot save the message");
    size = written.st_size;
    newIno = written.st_ino;
    if (old) {
      // Readers that take the received date from the file time keep it.
      struct timespec times[2] = {oldSt.st_atim, oldSt.st_mtim};
      futimens(fd, times);
      // The note is made before the flush, so that on a journalling file system the
      // message's flush commits the note with it.
      LinkReplaceNote(ref_.dir, newUnique, old->sub + "/" + old->file, newIno);
      noted = true;
    }
    if (fsync(fd) != 0) RaiseErrno(errno, "Cannot save the message");
    int rc = close(fd);
    fd = -1;
    if (rc != 0) RaiseErrno(errno, "Cannot save the message");
  } catch (...) {
    if (fd >= 0) close(fd);
    unlink(tmp.c_str());
    if (noted) RemoveReplaceNote(ref_.dir, newUnique);
    throw;
  }
  if (noted) FsyncDir(ref_.dir + "/tmp");
  if (!old) {
    MaildirFileName fresh;
    fresh.info = "2,DS";
    std::string newFile = RewrittenFileName(fresh, newUnique, size);
    std::string dest = ref_.dir + "/cur/" + newFile;
    store_->ExpectOwnFile(ref_.dir, newUnique);
    if (RenameNoReplace(tmp, dest) != 0) {
      int err = errno;
      unlink(tmp.c_str());
      RaiseErrno(err, "Cannot save the message");
    }
    FsyncDir(ref_.dir + "/cur");
    unique_ = newUnique;
    sub_ = "cur";
    file_ = newFile;
  } else {
    ReplaceOld(tmp, newUnique, newIno);
  }
  headers_.reset();
  loaded_ = FileIdentity::Of(Path());
  subject_.reset();
  billing_.reset();
  for (auto& [part, st] : states_)
    if (st->hidden) st->hidden.reset();
  // The headers now hold the saved state; properties stay as the objects hold them.
}

// Puts the saved message (tmp, inode newIno) in the place of the old one so that the
// folder never holds two copies, not even for an instant: the new file is exchanged
// with the old one under the old name (the old message goes to tmp/), then renamed
// to its new unique name. The old file is found again by its unique name right
// before the exchange, and the exchange fails instead of creating a name when a
// mail client has just renamed it (a flag change): then it is found and tried again.
// Raises only while the old message is still in place; returns once the new one is
// on disk and the old one gone from the folder.
void MaildirItem::ReplaceOld(const std::string& tmp, const std::string& newUnique, ino_t newIno) {
  const std::string dir = ref_.dir;
  store_->ExpectOwnFile(dir, newUnique);
  auto abandon = [&] {
    unlink(tmp.c_str());
    RemoveReplaceNote(dir, newUnique);
    FsyncDir(dir + "/tmp");
  };
  auto isRead = [&](const std::optional<FileIdentity>& id) {
    return !loaded_ || (id && *id == *loaded_);
  };
  std::optional<FolderLock> lock(std::in_place, dir);
  std::optional<Entry> at;
  bool placed = false;
  for (int attempt = 0; attempt < 10 && !placed; ++attempt) {
    at = FileIdentity::Of(Path()) ? std::optional<Entry>(Entry{unique_, sub_, file_})
                                  : FindByUnique(dir, unique_);
    if (!at) {
      abandon();
      gone_ = true;
      Raise(errnum::kObjectGone, kSource,
            "The item has been changed, moved or deleted by another program since it was read");
    }
    std::string atPath = dir + "/" + at->sub + "/" + at->file;
    auto now = FileIdentity::Of(atPath);
    if (now && !isRead(now)) {
      abandon();
      RaiseChanged();
    }
    if (store_->options().beforeExchange) store_->options().beforeExchange();
    if (renameat2(AT_FDCWD, tmp.c_str(), AT_FDCWD, atPath.c_str(), RENAME_EXCHANGE) == 0) {
      // The look and the exchange are two steps: another writer may have put its own
      // version in between. What came out must be the version that was read.
      if (!isRead(FileIdentity::Of(tmp))) {
        if (PutBack(dir, tmp, newIno, at->file)) abandon();
        else RemoveReplaceNote(dir, newUnique);
        RaiseChanged();
      }
      placed = true;
    } else if (errno == EINVAL && now && rename(tmp.c_str(), atPath.c_str()) == 0) {
      // No exchange on this file system: replaced in place (a rename by another
      // program in the instant between the check and the rename is not caught).
      placed = true;
    } else if (errno != ENOENT) {
      int err = errno;
      abandon();
      RaiseErrno(err, "Cannot replace the message; it was left unchanged");
    }
    if (!placed) sub_ = at->sub, file_ = at->file;  // moved meanwhile: look again
  }
  if (!placed) {
    abandon();
    Raise(errnum::kItemInConflict, kSource,
          "The message kept being renamed by another program; it was left unchanged");
  }
  // The message is saved: the old name holds the new content, tmp/ the old one. The
  // old content stays until the folder is flushed: were it removed first, a power
  // failure could bring back the old name pointing at a freed file.
  sub_ = at->sub;
  file_ = at->file;
  std::optional<std::string> renamed;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  for (int renames = 0; renames < 5 && !renamed;) {
    std::optional<Entry> cur = FileIdentity::Of(Path())
                                   ? std::optional<Entry>(Entry{unique_, sub_, file_})
                                   : FindByUnique(dir, unique_);
    struct stat st {};
    // Gone: a writer that read this version has saved its own over it.
    if (!cur || stat((dir + "/" + cur->sub + "/" + cur->file).c_str(), &st) != 0) break;
    if (st.st_ino == newIno) {
      sub_ = cur->sub;
      file_ = cur->file;
      renamed = RenameToNewUnique(dir, *cur, newUnique, false);
      ++renames;
      continue;
    }
    // Another writer's exchange has taken this version out. One that had not read it
    // puts it back at once; one that had renames its own on. If neither happens, its
    // version (made from the one read here) stands, and this save did not.
    if (std::chrono::steady_clock::now() > deadline) {
      abandon();
      RaiseChanged();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  lock.reset();  // the flushes need no lock
  // Without the new unique name the note stays, and has a later listing give it.
  SaveTail tail{dir, sub_, tmp, newUnique, renamed.has_value()};
  if (store_->options().backgroundFlushes)
    QueueSaveTail(std::move(tail));
  else
    FinishSaves({tail});
  if (!renamed) return;
  store_->NoteRewrite(dir, unique_, newUnique);
  unique_ = newUnique;
  file_ = *renamed;
}

void MaildirItem::Delete() {
  Alive();
  if (unique_.empty()) {
    gone_ = true;
    return;
  }
  Entry at = Locate();
  std::string src = ref_.dir + "/" + at.sub + "/" + at.file;
  FolderRef target = store_->DefaultRef(om::olFolderDeletedItems);
  if (target.dir == ref_.dir) {
    if (unlink(src.c_str()) != 0) RaiseErrno(errno, "Cannot delete the message");
    FsyncDir(ref_.dir + "/" + at.sub);
  } else {
    store_->Materialize(target);
    std::string destFile = at.file;
    std::string dest = target.dir + "/" + at.sub + "/" + destFile;
    if (FileIdentity::Of(dest) || FindByUnique(target.dir, unique_)) {
      auto n = MaildirFileName::Parse(at.file);
      destFile = RewrittenFileName(n, NewUniqueName(DeliverySeconds()),
                                   FileIdentity::Of(src) ? FileIdentity::Of(src)->size : 0);
      dest = target.dir + "/" + at.sub + "/" + destFile;
    }
    if (rename(src.c_str(), dest.c_str()) != 0)
      RaiseErrno(errno, "Cannot move the message to Deleted Items");
    FsyncDir(target.dir + "/" + at.sub);
    FsyncDir(ref_.dir + "/" + at.sub);
  }
  gone_ = true;
  doc_.reset();
  headers_.reset();
  states_.clear();
}

void MaildirItem::DeletePermanently() {
  Alive();
  if (!unique_.empty()) {
    Entry at = Locate();
    if (unlink((ref_.dir + "/" + at.sub + "/" + at.file).c_str()) != 0)
      RaiseErrno(errno, "Cannot delete the message");
    FsyncDir(ref_.dir + "/" + at.sub);
  }
  gone_ = true;
  doc_.reset();
  headers_.reset();
  states_.clear();
}

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

// ---------------------------------------------------------------------------
// The store

MaildirStore::MaildirStore(std::string root, Options options, HeaderAuth auth)
    : root_(std::move(root)), options_(std::move(options)), auth_(std::move(auth)) {}

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
    Raise(ErrnoNumber(ec.value()), kSource,
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
      Raise(ErrnoNumber(ec.value()), kSource,
            "Cannot make a Maildir at " + root + ": " + ec.message());
  }
  FsyncDir(root);
  return true;
}

std::vector<MaildirStore::Scanned> MaildirStore::Scan() {
  std::vector<Scanned> out;
  DIR* d = opendir(root_.c_str());
  if (!d) return out;
  while (dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name.size() < 2 || name[0] != '.' || name == "..") continue;
    std::string dir = root_ + "/" + name;
    if (!IsMaildir(dir)) continue;
    auto names = FolderNamesOfDirectory(name);
    if (names.empty()) continue;
    if (SameName(names[0], "INBOX")) {
      if (names.size() == 1) continue;  // the root is the Inbox
      names[0] = "Inbox";
    }
    out.push_back({names, dir});
  }
  closedir(d);
  return out;
}

int MaildirStore::DefaultKindOf(const FolderRef& ref) {
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

FolderRef MaildirStore::RefFor(const std::vector<std::string>& names) {
  FolderRef ref;
  ref.names = names;
  if (names.empty()) return ref;  // the store itself holds no items
  if (names.size() == 1 && SameName(names[0], "Inbox")) {
    ref.names[0] = "Inbox";
    ref.dir = root_;
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
      ref.itemType = DefaultKindOf(ref);
      return ref;
    }
  }
  auto dirNames = names;
  if (SameName(dirNames[0], "Inbox")) dirNames[0] = "INBOX";
  ref.dir = root_ + "/" + DirectoryOfFolderNames(dirNames);
  ref.exists = IsMaildir(ref.dir);
  ref.itemType = DefaultKindOf(ref);
  return ref;
}

void MaildirStore::Materialize(FolderRef& ref) {
  if (ref.dir.empty()) Raise(errnum::kFail, kSource, "The folder cannot hold items");
  if (ref.exists && IsMaildir(ref.dir)) return;
  std::error_code ec;
  for (const char* sub : {"tmp", "new", "cur"}) {
    fs::create_directories(fs::path(ref.dir) / sub, ec);
    if (ec)
      Raise(ErrnoNumber(ec.value()), kSource,
            "Cannot create the folder " + ref.dir + ": " + ec.message());
  }
  // Courier and Dovecot mark a Maildir++ folder with this file.
  if (ref.dir != root_)
    close(open((ref.dir + "/maildirfolder").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
  FsyncDir(root_);
  ref.exists = true;
}

FolderRef MaildirStore::DefaultRef(int folderType) {
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

std::vector<FolderRef> MaildirStore::ChildFolders(const std::vector<std::string>& names) {
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
            [](const auto& a, const auto& b) { return Fold(a.back()) < Fold(b.back()); });
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

std::shared_ptr<om::Folder> MaildirStore::MakeFolder(const FolderRef& ref) {
  return std::make_shared<MaildirFolder>(std::static_pointer_cast<MaildirStore>(shared_from_this()),
                                         ref);
}

std::shared_ptr<MaildirItems> MaildirStore::ItemsOf(const FolderRef& ref) {
  std::string key = ref.dir.empty() ? "\n" + std::to_string(ref.names.size()) : ref.dir;
  if (auto live = items_[key].lock()) return live;
  FinishInterruptedSaves(ref.dir);
  auto items = std::make_shared<MaildirItems>(
      std::static_pointer_cast<MaildirStore>(shared_from_this()), ref);
  items_[key] = items;
  return items;
}

std::shared_ptr<om::Item> MaildirStore::MakeItem(const FolderRef& ref, const std::string& sub,
                                                 const std::string& fileName) {
  return std::make_shared<MaildirItem>(std::static_pointer_cast<MaildirStore>(shared_from_this()),
                                       ref, sub, fileName);
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
  return MakeFolder(DefaultRef(folderType));
}

std::shared_ptr<om::Folder> MaildirStore::PickFolder() {
  return hostapp::PickFolder();
}

std::shared_ptr<om::Folder> MaildirStore::Root() {
  return MakeFolder(RefFor({}));
}

std::shared_ptr<om::Folders> MaildirStore::Folders() {
  return std::make_shared<MaildirFolders>(std::vector<std::shared_ptr<om::Folder>>{Root()});
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
    for (auto& c : ChildFolders(up)) listed = listed || SameName(c.names.back(), names.back());
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

std::shared_ptr<om::Item> MaildirStore::CreateMailItem() {
  return std::make_shared<MaildirItem>(std::static_pointer_cast<MaildirStore>(shared_from_this()),
                                       DefaultRef(om::olFolderDrafts));
}

void DrainSaves() { AfterSaveQueue().Drain(); }

}  // namespace stow::maildir
