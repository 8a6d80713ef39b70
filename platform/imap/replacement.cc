#include "platform/imap/replacement.h"

#include <dirent.h>
#include <fcntl.h>
#include <glib.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <optional>
#include <sstream>

namespace stow::imap {

namespace {

using Kind = ImapError::Kind;

[[noreturn]] void JournalFailure(const std::string& what, const std::string& path) {
  Raise(errnum::kFail, "Stowbright",
        "The IMAP journal " + what + " " + path + ": " + std::strerror(errno));
}

void SyncDir(const std::string& dir) {
  int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0 || fsync(fd) != 0) {
    int saved = errno;
    if (fd >= 0) close(fd);
    errno = saved;
    JournalFailure("folder could not be flushed:", dir);
  }
  close(fd);
}

std::string Sha256(const std::string& bytes) {
  gchar* hex = g_compute_checksum_for_data(
      G_CHECKSUM_SHA256, reinterpret_cast<const guchar*>(bytes.data()), bytes.size());
  std::string out = hex;
  g_free(hex);
  return out;
}

std::string NewToken() {
  unsigned char bytes[16];
  std::size_t got = 0;
  while (got < sizeof bytes) {
    ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
    if (n > 0)
      got += static_cast<std::size_t>(n);
    else if (errno != EINTR)
      Raise(errnum::kFail, "Stowbright", "No random numbers for the IMAP journal");
  }
  static const char kHex[] = "0123456789abcdef";
  std::string token;
  for (unsigned char b : bytes) {
    token += kHex[b >> 4];
    token += kHex[b & 15];
  }
  return token;
}

bool IsReplacementHeaderLine(std::string_view line) {
  std::string_view name = kReplacementHeader;
  return line.size() > name.size() && line[name.size()] == ':' &&
         g_ascii_strncasecmp(line.data(), name.data(), name.size()) == 0;
}

// The message with our header first and any older one (with its folded lines) gone.
std::string WithToken(std::string_view message, const std::string& token) {
  std::string crlf = ToCrlf(message);
  std::size_t headerEnd = crlf.find("\r\n\r\n");
  headerEnd = headerEnd == std::string::npos ? crlf.size() : headerEnd + 2;
  std::string out = std::string(kReplacementHeader) + ": " + token + "\r\n";
  bool dropping = false;
  for (std::size_t at = 0; at < headerEnd;) {
    std::size_t end = crlf.find("\r\n", at);
    end = end == std::string::npos || end + 2 > headerEnd ? headerEnd : end + 2;
    std::string_view line(crlf.data() + at, end - at);
    bool folded = !line.empty() && (line[0] == ' ' || line[0] == '\t');
    dropping = folded ? dropping : IsReplacementHeaderLine(line);
    if (!dropping) out += line;
    at = end;
  }
  out.append(crlf, headerEnd, std::string::npos);
  return out;
}

bool HasFlag(const std::vector<std::string>& flags, const char* flag) {
  return std::any_of(flags.begin(), flags.end(), [&](const std::string& f) {
    return g_ascii_strcasecmp(f.c_str(), flag) == 0;
  });
}

std::vector<std::string> Sorted(std::vector<std::string> flags) {
  // System flags compare without regard to case, keywords exactly.
  for (std::string& f : flags)
    if (!f.empty() && f[0] == '\\')
      for (std::size_t i = 1; i < f.size(); ++i) f[i] = g_ascii_tolower(f[i]);
  std::sort(flags.begin(), flags.end());
  return flags;
}

std::string Escape(const std::string& text) {
  gchar* e = g_uri_escape_string(text.c_str(), nullptr, FALSE);
  std::string out = e;
  g_free(e);
  return out;
}

std::string Unescape(const std::string& text) {
  gchar* u = g_uri_unescape_string(text.c_str(), nullptr);
  std::string out = u ? u : "";
  g_free(u);
  return out;
}

// Held while this process works on one message: two processes replacing the same
// message at once would each append a copy and expunge the original, leaving both
// copies. The holder removes the lock file; a waiter that then gets the lock on the
// removed file takes the new one.
class MessageLock {
 public:
  MessageLock(const std::string& dir, const std::string& mailbox, std::uint32_t uidValidity,
              std::uint32_t uid)
      : path_(dir + "/" +
              Sha256(mailbox + "\n" + std::to_string(uidValidity) + "\n" + std::to_string(uid))
                  .substr(0, 32) +
              ".lock") {
    for (;;) {
      fd_ = open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
      if (fd_ < 0) JournalFailure("lock could not be made:", path_);
      while (flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
      }
      struct stat held {
      }, named{};
      if (fstat(fd_, &held) == 0 && stat(path_.c_str(), &named) == 0 && held.st_ino == named.st_ino)
        return;
      close(fd_);
    }
  }
  ~MessageLock() {
    unlink(path_.c_str());
    close(fd_);
  }
  MessageLock(const MessageLock&) = delete;
  MessageLock& operator=(const MessageLock&) = delete;

 private:
  std::string path_;
  int fd_ = -1;
};

}  // namespace

struct Replacer::Entry {
  std::string path;
  int fd = -1;  // open and locked while this process works on the entry
  std::string mailbox;
  std::uint32_t uidValidity = 0;
  std::uint32_t uid = 0;
  std::string token;
  std::uint64_t size = 0;
  InternalDate date;
  std::string headerSha256;
  std::vector<std::string> flags;
  std::string message;

  Entry() = default;
  Entry(const Entry&) = delete;
  Entry& operator=(const Entry&) = delete;
  ~Entry() {
    if (fd >= 0) close(fd);
  }

  std::string Serialize() const {
    std::ostringstream out;
    out << "stowbright-imap-replacement 1\n"
        << "mailbox " << Escape(mailbox) << "\n"
        << "uidvalidity " << uidValidity << "\n"
        << "uid " << uid << "\n"
        << "token " << token << "\n"
        << "size " << size << "\n"
        << "internaldate " << date.seconds << " " << date.zoneMinutes << "\n"
        << "header-sha256 " << headerSha256 << "\n"
        << "flags";
    for (const std::string& f : flags) out << " " << Escape(f);
    out << "\nmessage " << message.size() << "\n\n" << message;
    return out.str();
  }

  // False when text is not a whole entry.
  bool Parse(const std::string& text) {
    std::size_t blank = text.find("\n\n");
    if (blank == std::string::npos || text.rfind("stowbright-imap-replacement 1\n", 0) != 0)
      return false;
    std::map<std::string, std::string> fields;
    std::istringstream lines(text.substr(0, blank));
    for (std::string line; std::getline(lines, line);) {
      std::size_t space = line.find(' ');
      fields[line.substr(0, space)] = space == std::string::npos ? "" : line.substr(space + 1);
    }
    try {
      mailbox = Unescape(fields.at("mailbox"));
      uidValidity = static_cast<std::uint32_t>(std::stoul(fields.at("uidvalidity")));
      uid = static_cast<std::uint32_t>(std::stoul(fields.at("uid")));
      token = fields.at("token");
      size = std::stoull(fields.at("size"));
      std::istringstream d(fields.at("internaldate"));
      if (!(d >> date.seconds >> date.zoneMinutes)) return false;
      headerSha256 = fields.at("header-sha256");
      std::istringstream f(fields.at("flags"));
      flags.clear();
      for (std::string flag; f >> flag;) flags.push_back(Unescape(flag));
      std::size_t length = std::stoull(fields.at("message"));
      if (text.size() - (blank + 2) != length) return false;
      message = text.substr(blank + 2);
    } catch (const std::exception&) {
      return false;
    }
    return !mailbox.empty() && uid != 0 && token.size() == 32;
  }
};

std::string DefaultJournalDir(const Endpoint& endpoint) {
  const char* state = std::getenv("XDG_STATE_HOME");
  std::string base =
      state && *state == '/' ? state : std::string(g_get_home_dir()) + "/.local/state";
  return base + "/stowbright/imap-journal/" + endpoint.FileKey();
}

Replacer::Replacer(Connector& conn, std::string journalDir)
    : conn_(conn), dir_(std::move(journalDir)) {
  struct stat st {};
  if (stat(dir_.c_str(), &st) == 0) return;
  if (g_mkdir_with_parents(dir_.c_str(), 0700) != 0)
    JournalFailure("folder could not be made:", dir_);
  SyncDir(dir_.substr(0, dir_.rfind('/')));
}

void Replacer::Record(Entry& entry) {
  entry.path = dir_ + "/" + entry.token + ".replace";
  std::string tmp = dir_ + "/." + entry.token + ".tmp";
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) JournalFailure("file could not be made:", tmp);
  // Locked before the entry can be seen under its name, so no other process can
  // take it for an interrupted one.
  flock(fd, LOCK_EX);
  std::string bytes = entry.Serialize();
  for (std::size_t done = 0; done < bytes.size();) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      int saved = errno;
      close(fd);
      unlink(tmp.c_str());
      errno = saved;
      JournalFailure("file could not be written:", tmp);
    }
    done += static_cast<std::size_t>(n);
  }
  if (fsync(fd) != 0 || rename(tmp.c_str(), entry.path.c_str()) != 0) {
    int saved = errno;
    close(fd);
    unlink(tmp.c_str());
    errno = saved;
    JournalFailure("file could not be put in place:", entry.path);
  }
  SyncDir(dir_);
  entry.fd = fd;
}

void Replacer::Forget(Entry& entry) {
  unlink(entry.path.c_str());
  SyncDir(dir_);
  close(entry.fd);
  entry.fd = -1;
}

Replacer::Outcome Replacer::Finish(Session& session, const Entry& entry, std::uint32_t& newUid,
                                   std::string& note) {
  const std::string where = "\"" + entry.mailbox + "\" on " + session.endpoint().Server();
  const MailboxState* state = nullptr;
  try {
    state = &session.Select(entry.mailbox);
  } catch (const ImapError& e) {
    if (e.kind() != Kind::kRefused) throw;
    std::vector<MailboxInfo> all = session.List();
    bool exists = std::any_of(all.begin(), all.end(),
                              [&](const MailboxInfo& m) { return m.name == entry.mailbox; });
    if (exists) throw;
    note = "The folder " + where + " is gone; its rewrite of message " + std::to_string(entry.uid) +
           " ends with it";
    return Outcome::kAbandoned;
  }
  std::vector<std::uint32_t> copies = session.SearchHeader(kReplacementHeader, entry.token);
  std::optional<FetchedMessage> old;
  if (state->uidValidity == entry.uidValidity) {
    session.Fetch({entry.uid}, kFetchSummary, [&](FetchedMessage& m) { old = std::move(m); });
  } else {
    // The UIDs were renumbered: the old message is the one of its size, date and
    // header (which no copy of ours can be, since those carry the token).
    std::vector<std::uint32_t> candidates;
    for (std::uint32_t u : session.SearchSize(entry.size))
      if (!std::binary_search(copies.begin(), copies.end(), u)) candidates.push_back(u);
    session.Fetch(candidates, kFetchHeader, [&](FetchedMessage& m) {
      if (!old && m.internalDate == entry.date && Sha256(m.header) == entry.headerSha256)
        old = std::move(m);
    });
  }
  if (copies.size() > 1) {
    std::vector<std::uint32_t> extra(copies.begin() + 1, copies.end());
    session.MarkDeleted(extra);
    session.Expunge(extra);
    copies.resize(1);
  }
  if (!old) {
    if (copies.empty()) {
      note = "Message " + std::to_string(entry.uid) + " in " + where +
             " was deleted before its rewrite was finished; it stays deleted";
      return Outcome::kAbandoned;
    }
    newUid = copies[0];
    note = "The rewrite of message " + std::to_string(entry.uid) + " in " + where +
           " was already complete";
    return Outcome::kAbandoned;
  }
  // The flags the old message has now, less the \Deleted this replacement set.
  std::vector<std::string> flags = old->flags;
  if (!HasFlag(entry.flags, "\\Deleted"))
    flags.erase(std::remove_if(flags.begin(), flags.end(),
                               [](const std::string& f) {
                                 return g_ascii_strcasecmp(f.c_str(), "\\Deleted") == 0;
                               }),
                flags.end());
  if (copies.empty()) {
    newUid = session.Append(entry.mailbox, entry.message, flags, entry.date).uid;
    note = "Message " + std::to_string(entry.uid) + " in " + where +
           " was rewritten from the journal (UID " + std::to_string(newUid) + ")";
  } else {
    newUid = copies[0];
    std::vector<std::string> now;
    session.Fetch({newUid}, kFetchSummary, [&](FetchedMessage& m) { now = m.flags; });
    if (Sorted(now) != Sorted(flags)) session.SetFlags(newUid, flags);
    note = "The rewrite of message " + std::to_string(entry.uid) + " in " + where +
           " was finished (UID " + std::to_string(newUid) + ")";
  }
  session.MarkDeleted({old->uid});
  session.Expunge({old->uid});
  return Outcome::kFinished;
}

std::uint32_t Replacer::Replace(const std::string& mailbox, std::uint32_t uidValidity,
                                std::uint32_t uid, std::string_view message,
                                const FetchedMessage* known) {
  auto step = [&](ReplaceStep s) {
    if (onStep) onStep(s);
  };
  MessageLock lock(dir_, mailbox, uidValidity, uid);
  Entry entry;
  entry.mailbox = mailbox;
  entry.uidValidity = uidValidity;
  entry.uid = uid;
  entry.token = NewToken();
  std::optional<FetchedMessage> old;
  if (known && known->uid == uid) old = *known;
  conn_.Run([&](Session& session) {
    const MailboxState& state = OpenExpecting(session, mailbox, uidValidity);
    if (state.readOnly)
      throw ImapError(
          Kind::kRefused, errnum::kAccessDenied,
          "The folder \"" + mailbox + "\" on " + session.endpoint().Server() + " is read-only");
    if (!old) session.Fetch({uid}, kFetchHeader, [&](FetchedMessage& m) { old = std::move(m); });
  });
  if (!old)
    throw ImapError(Kind::kRefused, errnum::kObjectGone,
                    "Message " + std::to_string(uid) + " is no longer in \"" + mailbox + "\" on " +
                        conn_.endpoint().Server());
  entry.size = old->size;
  entry.date = old->internalDate;
  entry.headerSha256 = Sha256(old->header);
  entry.flags = old->flags;
  entry.message = WithToken(message, entry.token);
  Record(entry);
  try {
    step(ReplaceStep::kRecorded);
  } catch (...) {
    Forget(entry);  // nothing was sent: nothing to finish
    throw;
  }

  bool appended = false;
  try {
    Session& session = conn_.Get();
    OpenExpecting(session, mailbox, uidValidity);
    bool half = false;
    session.onUpload = [&](std::size_t sent, std::size_t total) {
      if (!half && sent * 2 >= total) {
        half = true;
        step(ReplaceStep::kUploading);
      }
    };
    Session::Appended copy;
    try {
      copy = session.Append(mailbox, entry.message, entry.flags, entry.date);
    } catch (...) {
      session.onUpload = nullptr;
      throw;
    }
    session.onUpload = nullptr;
    appended = true;
    step(ReplaceStep::kAppended);
    if (copy.uidValidity != uidValidity)
      throw ImapError(Kind::kConnection, errnum::kFail,
                      "the folder was renumbered during the rewrite");
    std::optional<FetchedMessage> oldNow, copyNow;
    session.Fetch({uid, copy.uid}, kFetchSummary,
                  [&](FetchedMessage& m) { (m.uid == uid ? oldNow : copyNow) = std::move(m); });
    if (!oldNow) {
      // Deleted (or moved away) by another client while the copy was uploaded: the
      // copy must not bring it back.
      session.MarkDeleted({copy.uid});
      session.Expunge({copy.uid});
      Forget(entry);
      throw ImapError(Kind::kRefused, errnum::kObjectGone,
                      "Message " + std::to_string(uid) + " was deleted from \"" + mailbox +
                          "\" on " + conn_.endpoint().Server() +
                          " by another program during its rewrite");
    }
    if (copyNow && Sorted(copyNow->flags) != Sorted(oldNow->flags))
      session.SetFlags(copy.uid, oldNow->flags);
    session.MarkDeleted({uid});
    step(ReplaceStep::kMarkedDeleted);
    session.Expunge({uid});
    Forget(entry);
    return copy.uid;
  } catch (const ImapError& e) {
    if (entry.fd < 0) throw;  // already settled
    if (e.kind() != Kind::kConnection) {
      // The server refused the APPEND: nothing was added, nothing is to finish.
      if (!appended) {
        Forget(entry);
        throw;
      }
      left_ = e.Description();
      return 0;
    }
  }
  // The connection went in the middle: finish on a new one, as a later run would.
  conn_.Drop();
  std::uint32_t newUid = 0;
  std::string note;
  try {
    conn_.Run([&](Session& session) { return Finish(session, entry, newUid, note); });
  } catch (const ImapError& e) {
    left_ = e.Description();
    return 0;
  }
  Forget(entry);
  if (newUid == 0) throw ImapError(Kind::kRefused, errnum::kObjectGone, note);
  return newUid;
}

FinishReport Replacer::FinishInterrupted() {
  FinishReport report;
  DIR* d = opendir(dir_.c_str());
  if (!d) return report;
  std::vector<std::string> names;
  while (dirent* e = readdir(d)) names.push_back(e->d_name);
  closedir(d);
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    bool isEntry =
        name.size() > 8 && name.compare(name.size() - 8, 8, ".replace") == 0 && name[0] != '.';
    bool isTemp =
        name.size() > 4 && name[0] == '.' && name.compare(name.size() - 4, 4, ".tmp") == 0;
    bool isLock = name.size() > 5 && name.compare(name.size() - 5, 5, ".lock") == 0;
    if (!isEntry && !isTemp && !isLock) continue;
    std::string path = dir_ + "/" + name;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;
    struct stat opened {
    }, named{};
    // Locked: a live process works on it. Gone or replaced since it was listed:
    // someone finished it.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 || fstat(fd, &opened) != 0 ||
        stat(path.c_str(), &named) != 0 || opened.st_ino != named.st_ino) {
      close(fd);
      continue;
    }
    if (isTemp || isLock) {
      // A journal file never finished: nothing was sent to the server for it. A lock
      // nobody holds is a killed process's.
      unlink(path.c_str());
      close(fd);
      continue;
    }
    Entry entry;
    entry.path = path;
    entry.fd = fd;
    std::string text;
    char buf[65536];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;)
      text.append(buf, static_cast<std::size_t>(n));
    if (!entry.Parse(text)) {
      report.notes.push_back("The IMAP journal file " + path +
                             " cannot be read; it is left for a person to look at");
      continue;
    }
    std::uint32_t newUid = 0;
    std::string note;
    MessageLock lock(dir_, entry.mailbox, entry.uidValidity, entry.uid);
    try {
      Outcome outcome =
          conn_.Run([&](Session& session) { return Finish(session, entry, newUid, note); });
      Forget(entry);
      (outcome == Outcome::kFinished ? report.finished : report.abandoned)++;
      report.notes.push_back(note);
    } catch (const ImapError& e) {
      // A server that refuses one entry (a full mailbox) may take the others; one
      // that cannot be reached will not.
      if (e.kind() != Kind::kRefused) throw;
      ++report.failed;
      report.notes.push_back(e.Description() +
                             "; the rewrite stays in the journal for the next run");
    }
  }
  return report;
}

}  // namespace stow::imap
