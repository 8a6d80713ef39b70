#pragma once
// What the tests of the stowbright program share: the stowbright program run as a
// child with its own HOME, settings folder and TMPDIR (optionally under ptrace, so
// that it can be killed just before its Nth write to the disk); and a reader that
// parses every message of a folder with GMime and hashes its parts, so that a check
// never trusts the program it checks.

#include <errno.h>
#include <fcntl.h>
#include <glib.h>
#include <gmime/gmime.h>
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/user.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/hash.h"
#include "common/mime_message.h"

namespace stow::testing::reliability {

// The temporary folder and the MIME builder of every test (a using directive passes
// on to the files that use this one).
using namespace ::stow::testing;
namespace fs = std::filesystem;

inline long EnvNumber(const char* name, long fallback) {
  const char* v = std::getenv(name);
  if (!v || !*v) return fallback;
  return std::strtol(v, nullptr, 10);
}

// Bytes that compress badly and repeat nowhere, so that a hash names one attachment.
inline std::string RandomBytes(std::mt19937_64& rng, std::size_t n) {
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(rng() & 0xFF);
  return s;
}

// The unique part of a Maildir file name (what the store calls the EntryID).
inline std::string UniqueOf(const std::string& file) {
  auto cut = file.find_first_of(",:");
  return cut == std::string::npos ? file : file.substr(0, cut);
}

// One record of an item's list (path TAB name TAB ...): the saved file's path.
struct Record {
  std::string path;
};

inline std::vector<Record> ParseRecords(const std::string& text) {
  std::vector<Record> out;
  for (std::size_t start = 0, end = 0; start < text.size(); start = end + 2) {
    end = std::min(text.find("\r\n", start), text.size());
    std::size_t tab = std::min(text.find('\t', start), end);
    if (end > start) out.push_back({text.substr(start, tab - start)});
  }
  return out;
}

// The base64 parameter key of a property header's value, blanks taken out.
inline std::string PropertyParameter(const std::string& v, const std::string& key) {
  std::size_t at = v.find(";" + key + "=");
  if (at == std::string::npos) return "";
  at += key.size() + 2;
  gsize n = 0;
  guchar* d = g_base64_decode(v.substr(at, v.find(';', at) - at).c_str(), &n);
  std::string s(reinterpret_cast<char*>(d), n);
  g_free(d);
  return s;
}

// What a message file holds, as GMime reads it.
struct ParsedMessage {
  fs::path path;
  std::string unique;
  bool parsed = false;
  std::string messageId;
  std::vector<std::string> leafHashes;  // SHA-256 of every decoded leaf part
  std::vector<std::string> leafNames;   // file names of the leaves ("" for none)
  bool processedHeader = false;         // carries the store's billing header
  // Carries a property header of the store with a value: without one, the store has
  // no records of the message to report, so they need not be asked for.
  bool propertyValue = false;
  std::vector<Record> records;  // the record list as its header holds it (not verified)
  std::string fileHash;         // SHA-256 of the whole file
  bool linkBlock = false;       // an HTML part holds the block of links
  std::string html;             // the first HTML part, decoded
};

inline void EnsureGMime() {
  static bool done = [] {
    g_mime_init();
    return true;
  }();
  (void)done;
}

inline std::string DecodedContent(GMimePart* part) {
  GMimeDataWrapper* content = g_mime_part_get_content(part);
  if (!content) return "";
  GMimeStream* mem = g_mime_stream_mem_new();
  g_mime_data_wrapper_write_to_stream(content, mem);
  GByteArray* bytes = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(mem));
  std::string out(reinterpret_cast<const char*>(bytes->data), bytes->len);
  g_object_unref(mem);
  return out;
}

inline void CollectLeaves(GMimeObject* obj, ParsedMessage& out, int depth = 0) {
  if (!obj || depth > 200) return;
  if (GMIME_IS_MULTIPART(obj)) {
    GMimeMultipart* mp = GMIME_MULTIPART(obj);
    int n = g_mime_multipart_get_count(mp);
    for (int i = 0; i < n; ++i) CollectLeaves(g_mime_multipart_get_part(mp, i), out, depth + 1);
    return;
  }
  if (GMIME_IS_MESSAGE_PART(obj)) {
    GMimeMessage* inner = g_mime_message_part_get_message(GMIME_MESSAGE_PART(obj));
    if (inner) CollectLeaves(g_mime_message_get_mime_part(inner), out, depth + 1);
    return;
  }
  if (GMIME_IS_PART(obj)) {
    GMimePart* part = GMIME_PART(obj);
    std::string content = DecodedContent(part);
    out.leafHashes.push_back(Sha256(content));
    GMimeContentType* type = g_mime_object_get_content_type(obj);
    if (g_mime_content_type_is_type(type, "text", "html")) {
      if (out.html.empty()) out.html = content;
      if (content.find("tableKZOSTART") != std::string::npos) out.linkBlock = true;
    }
    const char* name = g_mime_part_get_filename(part);
    out.leafNames.push_back(name ? name : "");
  }
}

inline ParsedMessage ParseMessageFile(const fs::path& path) {
  EnsureGMime();
  ParsedMessage pm;
  pm.path = path;
  pm.unique = UniqueOf(path.filename().string());
  pm.fileHash = Sha256(ReadAll(path));
  GMimeStream* stream = g_mime_stream_fs_open(path.c_str(), O_RDONLY, 0, nullptr);
  if (!stream) return pm;
  GMimeParser* parser = g_mime_parser_new_with_stream(stream);
  GMimeMessage* message = g_mime_parser_construct_message(parser, nullptr);
  if (message) {
    pm.parsed = g_mime_message_get_mime_part(message) != nullptr;
    const char* id = g_mime_message_get_message_id(message);
    pm.messageId = id ? id : "";
    GMimeHeaderList* headers = g_mime_object_get_header_list(GMIME_OBJECT(message));
    pm.processedHeader = g_mime_header_list_contains(headers, "X-Stowbright-Billing");
    int count = g_mime_header_list_get_count(headers);
    for (int i = 0; i < count; ++i) {
      GMimeHeader* h = g_mime_header_list_get_header_at(headers, i);
      if (g_ascii_strcasecmp(g_mime_header_get_name(h), "X-Stowbright-Property") != 0) continue;
      const char* raw = g_mime_header_get_value(h);
      std::string v;
      for (const char* c = raw ? raw : ""; *c; ++c)
        if (!g_ascii_isspace(*c)) v += *c;
      // Any form other than an empty "value=" is taken to hold something.
      std::size_t at = v.find(";value=");
      std::size_t end = at == std::string::npos ? at : v.find(';', at + 7);
      pm.propertyValue = pm.propertyValue || at == std::string::npos || end != at + 7;
      if (PropertyParameter(v, "name") == "QLXProcessedAttachments")
        pm.records = ParseRecords(PropertyParameter(v, "value"));
    }
    CollectLeaves(g_mime_message_get_mime_part(message), pm);
    g_object_unref(message);
  }
  g_object_unref(parser);
  g_object_unref(stream);
  return pm;
}

// Every message file of a Maildir folder (cur/ and new/), parsed.
inline std::vector<ParsedMessage> ReadFolder(const fs::path& dir) {
  std::vector<ParsedMessage> out;
  for (const char* sub : {"cur", "new"}) {
    std::error_code ec;
    for (auto it = fs::directory_iterator(dir / sub, ec); !ec && it != fs::directory_iterator();
         it.increment(ec)) {
      if (it->is_regular_file()) out.push_back(ParseMessageFile(it->path()));
    }
  }
  return out;
}

inline std::vector<std::string> FilesIn(const fs::path& dir) {
  std::vector<std::string> out;
  std::error_code ec;
  for (auto it = fs::directory_iterator(dir, ec); !ec && it != fs::directory_iterator();
       it.increment(ec))
    out.push_back(it->path().filename().string());
  std::sort(out.begin(), out.end());
  return out;
}

// Whether one of records names a file of folder whose bytes hash to hash (a record
// that leads outside the folder never counts).
inline bool InRecordedFile(const std::vector<Record>& records, const fs::path& folder,
                           const std::string& hash) {
  std::error_code ec;
  return std::any_of(records.begin(), records.end(), [&](const Record& r) {
    fs::path p(r.path);
    return p.parent_path() == folder && fs::is_regular_file(p, ec) && Sha256(ReadAll(p)) == hash;
  });
}

// A message as delivered: its Message-ID, the whole file's hash and its attachments'.
struct Original {
  std::string messageId, fileHash;
  std::vector<std::string> hashes;
};

// What a user would call lost or damaged, empty when all is well: a message that does
// not parse, one nobody delivered, an original missing or there twice, an attachment
// neither in its message nor in a file of folder that the message's records (records(m))
// name; with detached, one still in its message too.
template <class Records>
std::vector<std::string> Lost(const std::vector<Original>& originals,
                              const std::vector<ParsedMessage>& messages, const fs::path& folder,
                              Records records, bool detached = false) {
  std::vector<std::string> bad;
  std::map<std::string, int> seen;
  for (const auto& m : messages) {
    if (!m.parsed) bad.push_back("does not parse: " + m.path.string());
    ++seen[m.messageId];
    auto o = std::find_if(originals.begin(), originals.end(),
                          [&](const Original& o) { return o.messageId == m.messageId; });
    if (o == originals.end()) {
      bad.push_back("unknown message appeared: " + m.messageId);
      continue;
    }
    for (const auto& h : o->hashes) {
      std::string what = "attachment " + h.substr(0, 12) + " of " + o->messageId;
      if (std::count(m.leafHashes.begin(), m.leafHashes.end(), h) > 0) {
        if (detached) bad.push_back(what + " is still in " + m.path.filename().string());
      } else if (!InRecordedFile(records(m), folder, h)) {
        bad.push_back(what + " is neither in " + m.path.filename().string() +
                      " nor in a file its records name");
      }
    }
  }
  for (const auto& o : originals)
    if (seen[o.messageId] != 1)
      bad.push_back(o.messageId + " is there " + std::to_string(seen[o.messageId]) + " times");
  return bad;
}

// Everything under dir but the excluded paths: path -> SHA-256, "dir" for a folder.
inline std::map<std::string, std::string> TreeHashes(const fs::path& dir,
                                                     const std::vector<fs::path>& excluded = {}) {
  std::map<std::string, std::string> out;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(dir, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (std::find(excluded.begin(), excluded.end(), it->path()) != excluded.end()) {
      it.disable_recursion_pending();
      continue;
    }
    out[it->path().string()] = it->is_regular_file() ? Sha256(ReadAll(it->path())) : "dir";
  }
  return out;
}

struct RunResult {
  int code = -1;        // exit status, or 128 + signal
  bool killed = false;  // ended by the harness's SIGKILL
  std::string out, err;
  long steps = 0;  // write steps seen (traced runs)
};

// Which system calls count as a write step: everything that changes what is on
// disk or makes it durable. A traced child is killed on entry to the Nth, so the
// step itself never happens.
inline bool IsWriteStep(const user_regs_struct& r) {
  long nr = static_cast<long>(r.orig_rax);
  switch (nr) {
    case SYS_write:
    case SYS_pwrite64:
    case SYS_writev:
    case SYS_pwritev:
      return static_cast<long>(r.rdi) > 2;  // not the terminal output
    case SYS_rename:
    case SYS_renameat:
    case SYS_renameat2:
    case SYS_link:
    case SYS_linkat:
    case SYS_unlink:
    case SYS_unlinkat:
    case SYS_fsync:
    case SYS_fdatasync:
    case SYS_ftruncate:
    case SYS_truncate:
    case SYS_mkdir:
    case SYS_mkdirat:
    case SYS_rmdir:
      return true;
    case SYS_open:
    case SYS_creat:
      return nr == SYS_creat || (r.rsi & (O_CREAT | O_TRUNC)) != 0;
    case SYS_openat:
      return (r.rdx & (O_CREAT | O_TRUNC)) != 0;
    default:
      return false;
  }
}

// Runs stowbright with its own HOME, settings folder and TMPDIR.
class Program {
 public:
  Program(fs::path root, fs::path store) : root_(std::move(root)), store_(std::move(store)) {
    fs::create_directories(home());
    fs::create_directories(tmp());
  }
  fs::path home() const { return root_ / "home"; }
  fs::path config() const { return root_ / "config"; }
  fs::path tmp() const { return root_ / "tmp"; }
  fs::path attachments() const { return home() / "Documents" / "My Attachments"; }
  fs::path trash() const { return home() / ".local" / "share" / "Trash"; }
  const fs::path& store() const { return store_; }

  // Where each file in the trash was trashed from, as its .trashinfo says.
  std::vector<std::string> TrashedFrom() const {
    std::vector<std::string> out;
    for (const auto& name : FilesIn(trash() / "info")) {
      std::string info = ReadAll(trash() / "info" / name);
      std::size_t at = info.find("\nPath=");
      if (at == std::string::npos) continue;
      std::string escaped = info.substr(at + 6, info.find('\n', at + 6) - at - 6);
      char* path = g_uri_unescape_string(escaped.c_str(), nullptr);
      out.push_back(path ? path : escaped);
      g_free(path);
    }
    return out;
  }

  std::vector<std::string> Argv(const std::vector<std::string>& args) const {
    // A --store of the caller's own stands for this program's.
    bool ownStore = std::find(args.begin(), args.end(), "--store") != args.end();
    std::vector<std::string> argv = {std::string(STOW_BINARY_DIR) + "/stowbright", "--config",
                                     config().string()};
    if (!ownStore) argv.insert(argv.end(), {"--store", store_.string()});
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
  }

  // What the next runs read on standard input (empty: /dev/null), and variables they
  // get on top of the harness's own.
  fs::path input;
  std::vector<std::pair<std::string, std::string>> env;

  pid_t Spawn(const std::vector<std::string>& args, bool traced = false,
              const std::string& tag = "run") const {
    auto argv = Argv(args);
    fs::path out = root_ / (tag + ".out"), err = root_ / (tag + ".err");
    pid_t pid = fork();
    if (pid == 0) {
      int in = open(input.empty() ? "/dev/null" : input.c_str(), O_RDONLY);
      int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      dup2(in, 0);
      dup2(o, 1);
      dup2(e, 2);
      setpgid(0, 0);
      setenv("HOME", home().c_str(), 1);
      setenv("XDG_CONFIG_HOME", (home() / ".config").c_str(), 1);
      setenv("TMPDIR", tmp().c_str(), 1);
      unsetenv("XDG_DOCUMENTS_DIR");
      // Saved files the program trashes go to the trash of the test's own HOME.
      unsetenv("XDG_DATA_HOME");
      unsetenv("MAILDIR");
      for (const auto& [name, value] : env) setenv(name.c_str(), value.c_str(), 1);
      std::vector<char*> cargv;
      for (auto& a : argv) cargv.push_back(a.data());
      cargv.push_back(nullptr);
      if (traced) {
        // LeakSanitizer cannot run in a traced process (it stops with a fatal error
        // at exit); a sanitized build is still checked for everything else.
        const char* asan = std::getenv("ASAN_OPTIONS");
        std::string opts =
            std::string(asan ? asan : "") + (asan && *asan ? ":" : "") + "detect_leaks=0";
        setenv("ASAN_OPTIONS", opts.c_str(), 1);
        ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
        raise(SIGSTOP);
      }
      execv(cargv[0], cargv.data());
      _exit(127);
    }
    return pid;
  }

  RunResult Collect(pid_t pid, int status, const std::string& tag = "run") const {
    RunResult r;
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    r.killed = WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
    r.out = ReadAll(root_ / (tag + ".out"));
    r.err = ReadAll(root_ / (tag + ".err"));
    (void)pid;
    return r;
  }

  // Runs to the end, killing it after `limit` (a hung program fails the test
  // instead of hanging the suite).
  RunResult Run(const std::vector<std::string>& args,
                std::chrono::milliseconds limit = std::chrono::seconds(120)) const {
    pid_t pid = Spawn(args);
    auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    for (;;) {
      pid_t w = waitpid(pid, &status, WNOHANG);
      if (w == pid) break;
      if (std::chrono::steady_clock::now() > deadline) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        RunResult r = Collect(pid, status);
        r.code = -2;  // timed out
        return r;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return Collect(pid, status);
  }

  // Runs with SIGKILL after `delay`; killed says whether it was still running.
  RunResult RunKilledAfter(const std::vector<std::string>& args,
                           std::chrono::microseconds delay) const {
    pid_t pid = Spawn(args);
    auto deadline = std::chrono::steady_clock::now() + delay;
    int status = 0;
    while (std::chrono::steady_clock::now() < deadline) {
      if (waitpid(pid, &status, WNOHANG) == pid) return Collect(pid, status);
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return Collect(pid, status);
  }

  // Runs under ptrace and kills the program on entry to its `killAt`th write step
  // (0: never; the run's steps are counted). Threads are followed.
  RunResult RunTraced(const std::vector<std::string>& args, long killAt) const {
    pid_t pid = Spawn(args, true);
    int status = 0;
    waitpid(pid, &status, 0);  // the SIGSTOP before exec
    ptrace(PTRACE_SETOPTIONS, pid, nullptr,
           PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL | PTRACE_O_TRACECLONE | PTRACE_O_TRACEFORK |
               PTRACE_O_TRACEVFORK | PTRACE_O_TRACEEXEC);
    ptrace(PTRACE_SYSCALL, pid, nullptr, nullptr);
    long steps = 0;
    int finalStatus = 0;
    bool killed = false;
    for (;;) {
      pid_t tid = waitpid(-1, &status, __WALL);
      if (tid < 0) break;
      if (WIFEXITED(status) || WIFSIGNALED(status)) {
        if (tid == pid) {
          finalStatus = status;
          // Reap the rest (threads report too with __WALL).
          while (waitpid(-1, &status, __WALL | WNOHANG) > 0) {
          }
          break;
        }
        continue;
      }
      if (!WIFSTOPPED(status)) continue;
      int sig = WSTOPSIG(status);
      int inject = 0;
      if (sig == (SIGTRAP | 0x80)) {
        user_regs_struct regs{};
        ptrace(PTRACE_GETREGS, tid, nullptr, &regs);
        // On entry the kernel has not yet put a result in rax.
        bool entering = static_cast<long>(regs.rax) == -ENOSYS;
        if (entering && !killed) {
          if (IsWriteStep(regs)) {
            ++steps;
            if (killAt > 0 && steps == killAt) {
              killed = true;
              kill(pid, SIGKILL);
              continue;  // a killed tracee is not resumed
            }
          }
        }
      } else if (sig == SIGTRAP && (status >> 16) != 0) {
        // clone/fork event: the new task starts traced.
      } else if (sig != SIGSTOP || (status >> 16) == 0) {
        inject = sig == SIGSTOP ? 0 : sig;
      }
      ptrace(PTRACE_SYSCALL, tid, nullptr, reinterpret_cast<void*>(static_cast<long>(inject)));
    }
    RunResult r = Collect(pid, finalStatus);
    r.steps = steps;
    return r;
  }

  // processed_attachments of one item, as `show --json` reports it.
  std::optional<std::string> RecordsOf(const std::string& folder,
                                       const std::string& entryId) const {
    RunResult r = Run({"--json", "show", folder, entryId});
    if (r.code != 0) return std::nullopt;
    try {
      auto j = nlohmann::json::parse(r.out);
      return j.value("processed_attachments", std::string());
    } catch (...) {
      return std::nullopt;
    }
  }

 private:
  fs::path root_, store_;
};

}  // namespace stow::testing::reliability
