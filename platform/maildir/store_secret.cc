#include "platform/maildir/store_secret.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "platform/com_error.h"
#include "platform/maildir/fast_scan.h"
#include "platform/maildir/maildir_files.h"
#include "platform/maildir/mime.h"
#include "platform/posix/posix_util.h"

namespace stow::maildir {

namespace {

// A mark names the secret it was made with ("k=..."). Only such a mark counts: one
// without the name is not this program's (a sender can write any header, and must
// not stop a first run from making its secret by writing one).
bool NamesASecret(const std::string& value) {
  for (std::size_t start = 0; start < value.size();) {
    std::size_t end = value.find(';', start);
    if (end == std::string::npos) end = value.size();
    std::size_t b = value.find_first_not_of(" \t\r\n", start);
    if (b < end && value.compare(b, 2, "k=") == 0 && b + 2 < end) return true;
    start = end + 1;
  }
  return false;
}

bool Carries(const std::string& path) {
  std::vector<std::string> values;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  auto block = scan::ReadSimpleHeaderBlock(fd, {kBillingHeader, kPropertyHeader});
  close(fd);
  if (block) {
    for (const auto& field : block->fields) values.push_back(field.second);
  } else {
    // A header block the quick reader leaves to GMime.
    try {
      auto doc = mime::Document::ParseHeaders(path);
      for (const char* name : {kBillingHeader, kPropertyHeader})
        for (auto& v : mime::RawHeaders(doc->message(), name)) values.push_back(v);
    } catch (const ComError&) {
      return false;
    }
  }
  for (const auto& v : values)
    if (NamesASecret(v)) return true;
  return false;
}

}  // namespace

std::size_t CountMarkedMessages(const std::string& root, std::string* example) {
  std::vector<std::string> folders = {root};
  posix::ForEachEntry(root, [&](std::string_view name, ino_t) {
    std::string dir = root + "/" + std::string(name);
    if (name[0] == '.' && IsMaildir(dir)) folders.push_back(dir);
  });
  std::size_t count = 0;
  for (const auto& folder : folders)
    for (const char* sub : {"cur", "new"})
      ForEachMessage(folder, sub, [&](std::string_view file) {
        std::string path = folder + "/" + sub + "/" + std::string(file);
        if (!Carries(path)) return;
        if (example && count == 0) *example = path;
        ++count;
      });
  return count;
}

StoreSecret OpenStoreSecret(const std::string& secretPath, const std::string& root, bool allowNew) {
  return OpenStoreSecret(secretPath, root, allowNew,
                         [&](std::string* example) { return CountMarkedMessages(root, example); });
}

StoreSecret OpenStoreSecret(const std::string& secretPath, const std::string& root, bool allowNew,
                            const std::function<std::size_t(std::string* example)>& countMarked) {
  if (auto existing = HeaderAuth::Load(secretPath)) return {*existing, false};
  if (!allowNew) {
    std::string example;
    std::size_t marked = countMarked(&example);
    if (marked > 0)
      Raise(errnum::kFail, "Maildir store",
            "the store secret " + secretPath + " is missing, but " + std::to_string(marked) +
                (marked == 1 ? " message" : " messages") + " in " + root +
                (marked == 1 ? " carries" : " carry") + " records made with it (" + example +
                "). Without it those records cannot be trusted, so nothing could be "
                "re-attached or deleted with its files. Put the secret back there (from a "
                "backup, or from the machine that detached them); to start over with a new "
                "secret, under which those records are never believed, give --new-secret.");
  }
  return {HeaderAuth::Create(secretPath), true};
}

}  // namespace stow::maildir
