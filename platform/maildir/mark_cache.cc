#include "platform/maildir/mark_cache.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string_view>

namespace stow::maildir {

namespace {

// The Maildir folder a message path is in: the path before its "/cur/" or "/new/".
std::string_view FolderOf(std::string_view path) {
  std::size_t slash = path.rfind('/');
  if (slash == std::string_view::npos || slash < 4) return {};
  return path.substr(0, slash - 4);
}

bool Recordable(std::string_view text) {
  return text.find_first_of("\t\n\r") == std::string::npos;
}

}  // namespace

std::string MarkCache::KeyOf(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return "";
  return KeyOf(st);
}

std::string MarkCache::KeyOf(const struct stat& st) {
  // "size:inode:mtime.nanoseconds:ctime.nanoseconds", written by hand: a sweep makes
  // one for every message, and printf's parsing of its format showed in the profile.
  std::string key;
  key.reserve(64);
  auto number = [&](auto n) {
    char digits[24];
    key.append(digits, std::to_chars(digits, digits + sizeof digits, n).ptr);
  };
  auto time = [&](const timespec& t) {
    number(static_cast<long long>(t.tv_sec));
    char digits[24];
    char* last = std::to_chars(digits, digits + sizeof digits, static_cast<long>(t.tv_nsec)).ptr;
    key += '.';
    key.append(static_cast<std::size_t>(std::max<std::ptrdiff_t>(0, 9 - (last - digits))), '0');
    key.append(digits, last);
  };
  number(static_cast<long long>(st.st_size));
  key += ':';
  number(static_cast<unsigned long long>(st.st_ino));
  key += ':';
  time(st.st_mtim);
  key += ':';
  time(st.st_ctim);
  return key;
}

void MarkCache::Prefetch() {
  if (loaded_ || loading_.valid() || file_.empty()) return;
  loading_ = std::async(std::launch::async, [this] { Read(); });
}

void MarkCache::Load() {
  if (loading_.valid()) {
    loading_.get();
  } else if (!loaded_) {
    Read();
  }
  loaded_ = true;
}

void MarkCache::Read() {
  if (file_.empty()) return;
  // Read whole, in one call: a watcher's start over a big folder reads a line per
  // message.
  std::string& text = text_;
  int fd = open(file_.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  struct stat st {};
  if (fstat(fd, &st) == 0 && st.st_size > 0) {
    text.resize(static_cast<std::size_t>(st.st_size));
    std::size_t got = 0;
    while (got < text.size()) {
      ssize_t n = read(fd, text.data() + got, text.size() - got);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      got += static_cast<std::size_t>(n);
    }
    text.resize(got);
  }
  close(fd);
  std::string_view rest(text);
  // path TAB key TAB mark
  while (!rest.empty()) {
    std::size_t end = rest.find('\n');
    std::string_view line = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    std::size_t a = line.find('\t'), b = a == line.npos ? a : line.find('\t', a + 1);
    if (b == line.npos) continue;
    entries_.push_back(Entry{line.substr(0, a), line.substr(a + 1, b - a - 1), line.substr(b + 1)});
  }
}

MarkCache::Entry* MarkCache::At(std::string_view path) {
  Load();
  // The one just asked for (a mark read again after its key did not match), or one
  // of the next few: the files of messages deleted since are passed over.
  if (next_ > 0 && entries_[next_ - 1].path == path) return &entries_[next_ - 1];
  for (std::size_t i = next_; i < entries_.size() && i < next_ + 8; ++i)
    if (entries_[i].path == path) {
      next_ = i + 1;
      return &entries_[i];
    }
  if (!indexed_) {
    // A later line of the same path is the one that counts, as when it was written.
    index_.reserve(entries_.size());
    for (std::size_t i = 0; i < entries_.size(); ++i) index_.insert_or_assign(entries_[i].path, i);
    indexed_ = true;
  }
  auto it = index_.find(path);
  if (it == index_.end()) return nullptr;
  // The walk goes on from here; that it had to look the entry up means the file is
  // not in its order.
  next_ = it->second + 1;
  dirty_ = true;
  return &entries_[it->second];
}

void MarkCache::Use(Entry& e) {
  if (e.used) return;
  e.used = true;
  order_.push_back(&e);
}

std::optional<std::string> MarkCache::Find(const std::string& path, const std::string& key) {
  if (key.empty()) return std::nullopt;
  Entry* e = At(path);
  if (!e || e->key != key) return std::nullopt;
  Use(*e);
  return std::string(e->mark);
}

void MarkCache::Remember(const std::string& path, const std::string& key, const std::string& mark) {
  Load();
  if (file_.empty() || key.empty() || mark.empty() || !Recordable(path) || !Recordable(mark))
    return;
  Entry* e = At(path);
  if (!e) {
    e = &entries_.emplace_back(Entry{Own(path), {}, {}});
    if (indexed_) index_.emplace(e->path, entries_.size() - 1);
  }
  Use(*e);
  if (e->key == key && e->mark == mark) return;
  e->key = Own(key);
  e->mark = Own(mark);
  dirty_ = true;
}

void MarkCache::Save() {
  if (loading_.valid()) Load();
  if (file_.empty() || !loaded_) return;
  // Entries of files that a whole walk of their folder did not meet are gone; the
  // others follow the ones asked for, in the order they were.
  std::vector<const Entry*> kept = order_;
  for (Entry& e : entries_) {
    if (e.used || e.dropped) continue;
    std::string_view folder = FolderOf(e.path);
    if (!folder.empty() && walked_.count(folder))
      e.dropped = dirty_ = true;
    else
      kept.push_back(&e);
  }
  if (!dirty_) return;
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(file_).parent_path(), ec);
  std::string tmp = file_ + "." + std::to_string(getpid()) + ".tmp";
  {
    std::ofstream out(tmp, std::ios::trunc);
    for (const Entry* e : kept) out << e->path << '\t' << e->key << '\t' << e->mark << '\n';
    if (!out.flush()) {
      std::filesystem::remove(tmp, ec);
      return;
    }
  }
  std::filesystem::rename(tmp, file_, ec);
  if (ec) std::filesystem::remove(tmp, ec);
  dirty_ = false;
}

std::string MarkCacheFile(const std::string& root, const std::string& secretTag) {
  std::string base;
  if (const char* xdg = std::getenv("XDG_CACHE_HOME"); xdg && *xdg == '/')
    base = xdg;
  else if (const char* home = std::getenv("HOME"); home && *home == '/')
    base = std::string(home) + "/.cache";
  else
    return "";
  char name[64];
  std::snprintf(name, sizeof name, "marks-%016zx-%016zx.tsv", std::hash<std::string>()(root),
                std::hash<std::string>()(secretTag));
  return base + "/stowbright/" + name;
}

}  // namespace stow::maildir
