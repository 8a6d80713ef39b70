#include "platform/maildir/mark_cache.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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
std::string FolderOf(const std::string& path) {
  std::size_t slash = path.rfind('/');
  if (slash == std::string::npos || slash < 4) return "";
  return path.substr(0, slash - 4);
}

bool Recordable(const std::string& text) {
  return text.find_first_of("\t\n\r") == std::string::npos;
}

}  // namespace

std::string MarkCache::KeyOf(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return "";
  return KeyOf(st);
}

std::string MarkCache::KeyOf(const struct stat& st) {
  char key[160];
  std::snprintf(key, sizeof key, "%lld:%llu:%lld.%09ld:%lld.%09ld",
                static_cast<long long>(st.st_size), static_cast<unsigned long long>(st.st_ino),
                static_cast<long long>(st.st_mtim.tv_sec), st.st_mtim.tv_nsec,
                static_cast<long long>(st.st_ctim.tv_sec), st.st_ctim.tv_nsec);
  return key;
}

void MarkCache::Load() {
  loaded_ = true;
  if (file_.empty()) return;
  // Read whole: a watcher's start over a big folder reads a line per message.
  std::ifstream in(file_, std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::string_view rest(text);
  entries_.reserve(static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')));
  // path TAB key TAB mark
  while (!rest.empty()) {
    std::size_t end = rest.find('\n');
    std::string_view line = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    std::size_t a = line.find('\t'), b = a == line.npos ? a : line.find('\t', a + 1);
    if (b == line.npos) continue;
    entries_[std::string(line.substr(0, a))] = {std::string(line.substr(a + 1, b - a - 1)),
                                                std::string(line.substr(b + 1)), false};
  }
}

std::optional<std::string> MarkCache::Find(const std::string& path, const std::string& key) {
  if (!loaded_) Load();
  if (key.empty()) return std::nullopt;
  auto it = entries_.find(path);
  if (it == entries_.end() || it->second.key != key) return std::nullopt;
  it->second.used = true;
  return it->second.mark;
}

void MarkCache::Remember(const std::string& path, const std::string& key, const std::string& mark) {
  if (!loaded_) Load();
  if (file_.empty() || key.empty() || mark.empty() || !Recordable(path) || !Recordable(mark))
    return;
  Entry& e = entries_[path];
  e.used = true;
  if (e.key == key && e.mark == mark) return;
  e = {key, mark, true};
  dirty_ = true;
}

void MarkCache::Save() {
  if (file_.empty() || !loaded_) return;
  // Entries of files that a whole walk of their folder did not meet are gone.
  for (auto it = entries_.begin(); it != entries_.end();) {
    if (!it->second.used && walked_.count(FolderOf(it->first))) {
      it = entries_.erase(it);
      dirty_ = true;
    } else {
      ++it;
    }
  }
  if (!dirty_) return;
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(file_).parent_path(), ec);
  std::string tmp = file_ + "." + std::to_string(getpid()) + ".tmp";
  {
    std::ofstream out(tmp, std::ios::trunc);
    for (const auto& [path, e] : entries_) out << path << '\t' << e.key << '\t' << e.mark << '\n';
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
