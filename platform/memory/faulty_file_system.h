#pragma once
// A file-system object that fails on demand. It wraps a real one (normally a
// PosixFileSystem over a temporary folder) and makes chosen operations raise the
// runtime's errors (61 disk full, 70 permission denied, ...) for a path, the paths
// under a prefix, or every path, once, n times or always. The wrapped object is not
// called when a failure is injected, so nothing changes on disk. Every call is
// recorded. This is how tests reach the branches that a process running as root
// can never see through permissions.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/file_system.h"

namespace stow::mem {

enum class FsOp {
  Any,  // in a rule: every operation
  FileExists,
  FolderExists,
  CopyFile,
  DeleteFile,
  CreateFolder,
  CreateFolders,
  GetSpecialFolder,
  FileSize,
  ListFolder,
  WriteNewFile,
  ReadFile,
  MoveNoReplace,
  SyncFile,
  SyncFolder,
  CreatePrivateFolder,
  LinkFile,
  HardLink,
  FileStamp,
  TrashFile,
  FindInTrash,
  NewWorkingFileName,
};

struct FsCall {
  FsOp op = FsOp::Any;
  std::string path;     // the (first) path; the number for GetSpecialFolder
  std::string path2;    // the destination of CopyFile and MoveNoReplace, the link of LinkFile
  bool failed = false;  // an injected failure answered it
};

class FaultyFileSystem : public platform::FileSystemObject {
 public:
  explicit FaultyFileSystem(std::shared_ptr<platform::FileSystemObject> inner);

  // The next `times` calls of op (-1: every call) whose path (either path of a copy
  // or move) equals `path` raise ComError(number) with the runtime's description
  // naming the path ("Disk full: /x/y"), or with `description` when given.
  void Fail(FsOp op, const std::string& path, std::int32_t number, int times = -1,
            const std::string& description = "");
  // Same for paths beginning with prefix.
  void FailUnder(FsOp op, const std::string& prefix, std::int32_t number, int times = -1,
                 const std::string& description = "");
  // Same for every path.
  void FailAll(FsOp op, std::int32_t number, int times = -1, const std::string& description = "");
  void ClearFailures() { rules_.clear(); }

  const std::vector<FsCall>& Calls() const { return calls_; }
  std::vector<FsCall> CallsOf(FsOp op) const;
  int CallCount(FsOp op) const;
  void ClearCalls() { calls_.clear(); }
  platform::FileSystemObject& Inner() { return *inner_; }

  bool FileExists(const std::string& path) override;
  bool FolderExists(const std::string& path) override;
  void CopyFile(const std::string& source, const std::string& destination, bool overwrite) override;
  void DeleteFile(const std::string& path, bool force) override;
  void CreateFolder(const std::string& path) override;
  void CreateFolders(const std::string& path) override;
  std::string GetSpecialFolder(int which) override;
  std::int64_t FileSize(const std::string& path) override;
  std::vector<std::string> ListFolder(const std::string& path) override;
  void WriteNewFile(const std::string& path, const std::string& bytes) override;
  std::string ReadFile(const std::string& path) override;
  void MoveNoReplace(const std::string& source, const std::string& destination) override;
  void SyncFile(const std::string& path) override;
  std::vector<std::string> SyncFiles(const std::vector<std::string>& paths) override;
  void SyncFolder(const std::string& path) override;
  std::string CreatePrivateFolder(const std::string& parent) override;
  void LinkFile(const std::string& target, const std::string& linkPath) override;
  void HardLink(const std::string& existing, const std::string& newPath) override;
  // Never fails (the contract says so); not recorded.
  bool SameContent(const std::string& a, const std::string& b) override;
  std::string FileStamp(const std::string& path) override;
  void TrashFile(const std::string& path) override;
  std::string FindInTrash(const std::string& originalPath, std::int64_t size = -1) override;
  std::string NewWorkingFileName(const std::string& folder, bool portable) override;
  // Never fails (the contract says so); not recorded.
  bool IsAbandonedWorkingFile(const std::string& name) override;

 private:
  struct Rule {
    FsOp op;
    enum Match { Exact, Prefix, Every } match;
    std::string path;
    std::int32_t number;
    int remaining;  // -1: always
    std::string description;
  };
  // Records the call and raises when a rule matches it.
  void Check(FsOp op, const std::string& path, const std::string& path2 = "");
  void AddRule(Rule rule);

  std::shared_ptr<platform::FileSystemObject> inner_;
  std::vector<Rule> rules_;
  std::vector<FsCall> calls_;
};

// The runtime's text for a file error number ("Disk full", "Permission denied"...).
std::string FileErrorText(std::int32_t number);

}  // namespace stow::mem
