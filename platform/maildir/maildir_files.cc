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

std::vector<Entry> Listing(const std::string& dir) {
  std::vector<Entry> out;
  if (dir.empty()) return out;
  for (const char* sub : {"cur", "new"})
    ForEachMessage(dir, sub, [&](std::string_view name) {
      out.push_back({std::string(UniqueOf(name)), sub, std::string(name)});
    });
  std::sort(out.begin(), out.end(), [](const Entry& a, const Entry& b) {
    return a.unique != b.unique ? a.unique < b.unique : a.file < b.file;
  });
  return out;
}

std::optional<Entry> FindByUnique(const std::string& dir, const std::string& unique) {
  std::optional<Entry> found;
  for (const char* sub : {"cur", "new"})
    ForEachMessage(dir, sub, [&](std::string_view name) {
      if (!found && UniqueOf(name) == unique) found = Entry{unique, sub, std::string(name)};
    });
  return found;
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
