#pragma once
// What the start-up sweep learnt of each message, kept between runs: the processed
// mark read (and its signature checked) from a message file, under a key that
// changes whenever the file may have changed (its path, size, inode, modification and
// change times). A watcher that starts over a folder of a hundred thousand processed
// messages then looks at each file's status instead of reading and checking it.
//
// The cache is only ever a shortcut to what the mail says: an entry is used only for
// the exact file status it was made from, so a message changed in any way (a rewrite,
// another program's edit, a restored copy) is read again; only marks whose signature
// held are kept, so a mark the secret cannot verify is always met afresh; and a
// cache made under another secret is another file. It lives in
// $XDG_CACHE_HOME/stowbright/ (~/.cache when unset), and losing it costs only time.

#include <sys/stat.h>

#include <cstdint>
#include <deque>
#include <future>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace stow::maildir {

class MarkCache {
 public:
  // The cache of file (a path); "" keeps nothing.
  explicit MarkCache(std::string file) : file_(std::move(file)) {}
  ~MarkCache() { Save(); }
  MarkCache(const MarkCache&) = delete;
  MarkCache& operator=(const MarkCache&) = delete;

  // Starts reading the cache on another thread, for a walk about to ask it about
  // every message of a folder (the walk lists the folder meanwhile); the first
  // question waits for it.
  void Prefetch();
  // The key of the message file at path now; "" when it cannot be read.
  static std::string KeyOf(const std::string& path);
  // The key of a regular file whose status st was taken now.
  static std::string KeyOf(const struct stat& st);
  // The mark recorded for the file (path) with this key, if any.
  std::optional<std::string> Find(const std::string& path, const std::string& key);
  // The mark read from the file (path) whose key was taken before it was read.
  void Remember(const std::string& path, const std::string& key, const std::string& mark);
  // Every message of the Maildir folder dir was looked at: entries under dir that
  // were not are of files gone, and are dropped when the cache is written.
  void Walked(const std::string& dir) { walked_.insert(dir); }
  // Writes the cache when it changed (a new file, replacing the old at once). Never
  // raises.
  void Save();

 private:
  // The texts of an entry point into the file's text as read, or into owned_: a
  // hundred thousand entries are one read and one record each.
  struct Entry {
    std::string_view path, key, mark;
    bool used = false, dropped = false;
  };
  std::string_view Own(std::string_view text) { return owned_.emplace_back(text); }
  // Makes the entries the file holds ready (waits for a Prefetch).
  void Load();
  void Read();
  // The entry of path, or nullptr. The file is kept in the order the last walk asked
  // in, so a walk meets its entries one after the other; an entry asked for out of
  // turn is found through an index made then, and the file is rewritten in the new
  // order.
  Entry* At(std::string_view path);
  void Use(Entry& e);

  std::string file_;
  bool loaded_ = false, dirty_ = false;
  std::future<void> loading_;
  std::string text_;
  std::deque<std::string> owned_;
  std::deque<Entry> entries_;  // in the file's order, then the new ones
  std::size_t next_ = 0;       // the entry the walk is expected to ask for next
  std::unordered_map<std::string_view, std::size_t> index_;
  bool indexed_ = false;
  // The entries asked for, in the order they were first asked for: the next file.
  std::vector<const Entry*> order_;
  std::set<std::string, std::less<>> walked_;
};

// Where the cache of the Maildir at root goes for the secret whose tag (any text
// the secret alone determines) is given; "" without a home.
std::string MarkCacheFile(const std::string& root, const std::string& secretTag);

}  // namespace stow::maildir
