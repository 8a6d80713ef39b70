#include "engine/storedOnce.h"

#include <climits>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <unordered_map>
#include <vector>

#include "platform/com_error.h"
#include "support/modErroHandling.h"
#include "support/modFileSystem.h"

namespace stow {

namespace {

// Deeper than any attachment folder is organised; a link loop ends here.
constexpr int kMaxDepth = 12;
// Names of one size tried per save: different files of one size are rare, and a
// folder full of them must not make every save read them all.
constexpr std::size_t kMaxCandidates = 4;

// The files of one attachment folder tree by size, read from disk once per process
// and kept up to date by the saves of this process. Entries are only hints: every
// one is checked byte for byte before it is used, and dropped when it is gone. The
// paths (below the folder) are kept end to end in one text, so that a tree of a
// hundred thousand files costs a few megabytes.
struct Candidate {
  std::uint32_t at;  // offset in names
  // A small file's print (PrintOf), taken when it was first a candidate.
  std::optional<std::uint64_t> print;
};
struct Tree {
  std::string names;  // each ends with a NUL
  std::unordered_multimap<std::int64_t, Candidate> bySize;
  std::string Name(std::uint32_t at) const { return names.c_str() + at; }
};

// Files up to this size are told apart by a print of their bytes before any second
// name is tried: in a big tree most files of one size hold other bytes, and each try
// is a link, two reads and an unlink.
constexpr std::int64_t kPrintedUpTo = 64 * 1024;

// A hash of the bytes of a small file of size bytes; nothing when it cannot be read
// or is not that size (a print is only a hint: equal prints are compared in full).
std::optional<std::uint64_t> PrintOf(platform::FileSystemObject& fso, const std::string& path,
                                     std::int64_t size) {
  if (size > kPrintedUpTo) return std::nullopt;
  std::string bytes;
  if (IgnoreErrors([&] { bytes = fso.ReadFile(path); }) != 0 ||
      static_cast<std::int64_t>(bytes.size()) != size)
    return std::nullopt;
  return std::hash<std::string>()(bytes);
}

std::map<std::string, Tree>& Trees() {
  static std::map<std::string, Tree> trees;
  return trees;
}

void Add(Tree& tree, const std::string& relative, std::int64_t size) {
  if (size <= 0 || tree.bySize.count(size) >= kMaxCandidates ||
      tree.names.size() + relative.size() >= UINT32_MAX)
    return;
  tree.bySize.emplace(size, Candidate{static_cast<std::uint32_t>(tree.names.size()), {}});
  tree.names.append(relative.c_str(), relative.size() + 1);
}

void Walk(platform::FileSystemObject& fso, const std::string& root, const std::string& below,
          int depth, Tree& tree) {
  std::vector<std::string> names;
  std::string folder = below.empty() ? root : modFileSystem::JoinPath(root, below);
  if (IgnoreErrors([&] { names = fso.ListFolder(folder); }) != 0) return;
  for (const auto& name : names) {
    // Working files (and whatever else is hidden) are nobody's saved attachment.
    if (name.empty() || name[0] == '.') continue;
    std::string path = modFileSystem::JoinPath(folder, name);
    std::string relative = below.empty() ? name : modFileSystem::JoinPath(below, name);
    if (fso.FileExists(path)) {
      Add(tree, relative, ValueOr<std::int64_t>(-1, [&] { return fso.FileSize(path); }));
    } else if (depth < kMaxDepth && fso.FolderExists(path)) {
      Walk(fso, root, relative, depth + 1, tree);
    }
  }
}

Tree& TreeOf(platform::FileSystemObject& fso, const std::string& folder) {
  auto [it, added] = Trees().try_emplace(folder);
  if (added) Walk(fso, folder, "", 0, it->second);
  return it->second;
}

}  // namespace

std::string LinkToSameFile(platform::FileSystemObject& fso, const std::string& folder,
                           const std::string& written, std::int64_t size, bool portable) {
  if (size <= 0) return "";
  Tree& tree = TreeOf(fso, folder);
  auto [it, end] = tree.bySize.equal_range(size);
  std::optional<std::uint64_t> mine;
  if (it != end) mine = PrintOf(fso, written, size);
  while (it != end) {
    std::string same = modFileSystem::JoinPath(folder, tree.Name(it->second.at));
    if (mine) {
      if (!it->second.print) it->second.print = PrintOf(fso, same, size);
      if (it->second.print && *it->second.print != *mine) {
        ++it;
        continue;
      }
    }
    std::string twin = modFileSystem::JoinPath(folder, fso.NewWorkingFileName(folder, portable));
    std::int32_t failed = IgnoreErrors([&] { fso.HardLink(same, twin); });
    // Compared through the new name: what it holds is what the saved name will hold.
    if (failed == 0 && fso.SameContent(twin, written)) return twin;
    if (failed == 0) IgnoreErrors([&] { fso.DeleteFile(twin, true); });
    if (failed == errnum::kFileNotFound) {
      it = tree.bySize.erase(it);
      continue;
    }
    // No link across file systems, or none at all here: no other name will do.
    if (failed != 0 && failed != errnum::kFileAlreadyExists) return "";
    ++it;
  }
  return "";
}

void NoteSavedFile(const std::string& folder, const std::string& path, std::int64_t size,
                   const std::string& was) {
  auto it = Trees().find(folder);
  std::string prefix = modFileSystem::JoinPath(folder, "");
  if (it == Trees().end() || path.rfind(prefix, 0) != 0) return;
  Tree& tree = it->second;
  // A name gone would hold one of the few places kept per size until a save trips on it.
  if (!was.empty() && was.rfind(prefix, 0) == 0) {
    std::string old = was.substr(prefix.size());
    auto [at, end] = tree.bySize.equal_range(size);
    for (; at != end; ++at)
      if (tree.Name(at->second.at) == old) {
        tree.bySize.erase(at);
        break;
      }
  }
  Add(tree, path.substr(prefix.size()), size);
}

void ForgetSavedFiles() {
  Trees().clear();
}

}  // namespace stow
