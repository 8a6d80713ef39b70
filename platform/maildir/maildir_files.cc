#include "platform/maildir/maildir_files.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/com_error.h"
#include "platform/maildir/maildir_names.h"
#include "platform/maildir/store_util.h"
#include "platform/posix/posix_util.h"

namespace stow::maildir {

bool IsMaildir(const std::string& dir) {
  return !dir.empty() && posix::IsFolder(dir + "/cur");
}

void ForEachMessage(const std::string& dir, const char* sub,
                    const std::function<void(std::string_view file)>& each) {
  posix::ForEachEntry(dir + "/" + sub, [&](std::string_view name, ino_t) {
    if (name[0] != '.') each(name);
  });
}

MessageNames ListMessageNames(const std::string& dir) {
  MessageNames names;
  if (dir.empty()) return names;
  for (const char* sub : {"cur", "new"})
    ForEachMessage(dir, sub, [&](std::string_view file) {
      std::string& name = names.emplace_back();
      name.reserve(4 + file.size());
      name.append(sub).append(1, '/').append(file);
    });
  // Sorted through keys that hold each unique name found once: the names themselves
  // would find it again at every comparison.
  struct Key {
    std::string_view unique, file;
    std::size_t at;
  };
  std::vector<Key> keys;
  keys.reserve(names.size());
  for (std::size_t i = 0; i < names.size(); ++i) {
    NameParts parts = PartsOf(names[i]);
    keys.push_back({parts.unique, parts.file, i});
  }
  std::sort(keys.begin(), keys.end(), [](const Key& a, const Key& b) {
    return a.unique != b.unique ? a.unique < b.unique : a.file < b.file;
  });
  MessageNames sorted;
  sorted.reserve(names.size());
  for (const Key& k : keys) sorted.push_back(std::move(names[k.at]));
  return sorted;
}

NameParts PartsOf(std::string_view name) {
  std::size_t slash = name.find('/');
  std::string_view file = name.substr(slash + 1);
  return {name.substr(0, slash), file, UniqueOf(file)};
}

std::size_t PositionOfUnique(const MessageNames& names, std::string_view unique) {
  auto it = std::lower_bound(
      names.begin(), names.end(), unique,
      [](const std::string& name, std::string_view u) { return PartsOf(name).unique < u; });
  if (it == names.end() || PartsOf(*it).unique != unique) return names.size();
  return static_cast<std::size_t>(it - names.begin());
}

std::vector<Entry> Listing(const std::string& dir) {
  std::vector<Entry> out;
  for (const std::string& name : ListMessageNames(dir)) {
    NameParts parts = PartsOf(name);
    out.push_back({std::string(parts.unique), std::string(parts.sub), std::string(parts.file)});
  }
  return out;
}

std::optional<Entry> FindByUnique(const std::string& dir, const std::string& unique) {
  // A mail client renaming the file (its flags, new/ to cur/) while the folder is read
  // can move it past the reading, so that neither name is seen: a message not found
  // is looked for again before it is taken for gone.
  for (int attempt = 0; attempt < 3; ++attempt) {
    std::optional<Entry> found;
    for (const char* sub : {"cur", "new"})
      ForEachMessage(dir, sub, [&](std::string_view name) {
        if (!found && UniqueOf(name) == unique) found = Entry{unique, sub, std::string(name)};
      });
    if (found) return found;
  }
  return std::nullopt;
}

std::optional<Entry> FindByInode(const std::string& dir, ino_t ino) {
  std::optional<Entry> found;
  for (const char* sub : {"cur", "new"})
    posix::ForEachEntry(dir + "/" + sub, [&](std::string_view file, ino_t at) {
      if (!found && at == ino && file[0] != '.')
        found = Entry{std::string(UniqueOf(file)), sub, std::string(file)};
    });
  return found;
}

int OpenMessageFile(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    Raise(errno == ENOENT ? errnum::kObjectGone : errnum::kFail, kSource,
          "Cannot open message " + path + ": " + std::strerror(errno));
  return fd;
}

std::optional<FileIdentity> FileIdentity::Of(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return std::nullopt;
  return Of(st);
}

std::optional<FileIdentity> FileIdentity::Of(int fd) {
  struct stat st {};
  if (fstat(fd, &st) != 0) return std::nullopt;
  return Of(st);
}

FileIdentity FileIdentity::Of(const struct stat& st) {
  return FileIdentity{
      st.st_dev, st.st_ino, st.st_size,
      static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}

}  // namespace stow::maildir
