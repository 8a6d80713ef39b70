#pragma once
// The message files of one Maildir folder, as the store's pieces find them: every
// listing of cur/ and new/, every search for a message by its unique name or inode,
// and the identity that tells one version of a file from another all come from here.
// Names starting with '.' are never messages. Only OpenMessageFile raises: a folder
// that cannot be read holds no messages.

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace stow::maildir {

// dir is a Maildir: it has a cur/ folder.
bool IsMaildir(const std::string& dir);

// One message file of a folder: its unique name, "cur" or "new", and its file name.
struct Entry {
  std::string unique, sub, file;
  std::string PathIn(const std::string& dir) const { return dir + "/" + sub + "/" + file; }
};

// Calls each(file name) for every message of dir/sub (sub is "cur" or "new"); the
// name is valid during the call only.
void ForEachMessage(const std::string& dir, const char* sub,
                    const std::function<void(std::string_view file)>& each);
// The messages of cur/ and new/, by unique name (then file name).
std::vector<Entry> Listing(const std::string& dir);
// The same messages in the same order, each as "sub/file": the compact listing that a
// folder's walk and its watch share (a hundred thousand messages are one string each).
using MessageNames = std::vector<std::string>;
MessageNames ListMessageNames(const std::string& dir);
// The parts of one of those names.
struct NameParts {
  std::string_view sub, file, unique;
};
NameParts PartsOf(std::string_view name);
// Where names (in ListMessageNames' order) hold the first file of a message of this
// unique name; names.size() when they do not.
std::size_t PositionOfUnique(const MessageNames& names, std::string_view unique);
inline bool HoldsUnique(const MessageNames& names, std::string_view unique) {
  return PositionOfUnique(names, unique) < names.size();
}
// The message of cur/ or new/ with this unique name (the first one found when, in
// conflict, there are two).
std::optional<Entry> FindByUnique(const std::string& dir, const std::string& unique);
// The message of cur/ or new/ whose file is inode ino.
std::optional<Entry> FindByInode(const std::string& dir, ino_t ino);

// A descriptor to read the message file at path. Raises kObjectGone when there is
// no such file, kFail when it cannot be opened.
int OpenMessageFile(const std::string& path);

// One version of a file: a rewrite, even of the same size in the same second, makes
// another (a new inode, or a new modification time to the nanosecond).
struct FileIdentity {
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = 0;
  std::int64_t mtimeNs = 0;
  bool operator==(const FileIdentity&) const = default;
  // nullopt when there is no such file (or descriptor).
  static std::optional<FileIdentity> Of(const std::string& path);
  static std::optional<FileIdentity> Of(int fd);
  static FileIdentity Of(const struct stat& st);
};

}  // namespace stow::maildir
