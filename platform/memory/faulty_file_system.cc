#include "platform/memory/faulty_file_system.h"

#include "platform/com_error.h"

namespace stow::mem {

std::string FileErrorText(std::int32_t number) {
  switch (number) {
    case errnum::kFileNotFound:
      return "File not found";
    case errnum::kPathNotFound:
      return "Path not found";
    case errnum::kFileAlreadyExists:
      return "File already exists";
    case errnum::kDiskFull:
      return "Disk full";
    case errnum::kPermissionDenied:
      return "Permission denied";
    case errnum::kInvalidProcedureCall:
      return "Invalid procedure call or argument";
    case 52:
      return "Bad file name or number";
    case 57:
      return "Device I/O error";
    case 67:
      return "Too many files";
    case 74:
      return "Can't rename with different drive";
    default:
      return "Path/File access error";
  }
}

FaultyFileSystem::FaultyFileSystem(std::shared_ptr<platform::FileSystemObject> inner)
    : inner_(std::move(inner)) {
  if (!inner_) throw ComError(errnum::kObjectRequired, "FaultyFileSystem", "Object required");
}

void FaultyFileSystem::AddRule(Rule rule) {
  if (rule.remaining != 0) rules_.push_back(std::move(rule));
}

void FaultyFileSystem::Fail(FsOp op, const std::string& path, std::int32_t number, int times,
                            const std::string& description) {
  AddRule(Rule{op, Rule::Exact, path, number, times, description});
}

void FaultyFileSystem::FailUnder(FsOp op, const std::string& prefix, std::int32_t number, int times,
                                 const std::string& description) {
  AddRule(Rule{op, Rule::Prefix, prefix, number, times, description});
}

void FaultyFileSystem::FailAll(FsOp op, std::int32_t number, int times,
                               const std::string& description) {
  AddRule(Rule{op, Rule::Every, "", number, times, description});
}

void FaultyFileSystem::Check(FsOp op, const std::string& path, const std::string& path2) {
  calls_.push_back(FsCall{op, path, path2, false});
  bool twoPaths = op == FsOp::CopyFile || op == FsOp::MoveNoReplace || op == FsOp::LinkFile ||
                  op == FsOp::HardLink;
  for (auto it = rules_.begin(); it != rules_.end(); ++it) {
    if (it->op != FsOp::Any && it->op != op) continue;
    auto matches = [&](const std::string& p) {
      switch (it->match) {
        case Rule::Exact:
          return p == it->path;
        case Rule::Prefix:
          return p.rfind(it->path, 0) == 0;
        case Rule::Every:
          return true;
      }
      return false;
    };
    const std::string* hit = nullptr;
    if (matches(path))
      hit = &path;
    else if (twoPaths && matches(path2))
      hit = &path2;
    if (!hit) continue;
    std::string description =
        it->description.empty() ? FileErrorText(it->number) + ": " + *hit : it->description;
    std::int32_t number = it->number;
    if (it->remaining > 0 && --it->remaining == 0) rules_.erase(it);
    calls_.back().failed = true;
    throw ComError(number, "Scripting.FileSystemObject", description);
  }
}

std::vector<FsCall> FaultyFileSystem::CallsOf(FsOp op) const {
  std::vector<FsCall> out;
  for (const auto& c : calls_)
    if (c.op == op) out.push_back(c);
  return out;
}

int FaultyFileSystem::CallCount(FsOp op) const {
  return static_cast<int>(CallsOf(op).size());
}

bool FaultyFileSystem::FileExists(const std::string& path) {
  Check(FsOp::FileExists, path);
  return inner_->FileExists(path);
}

bool FaultyFileSystem::FolderExists(const std::string& path) {
  Check(FsOp::FolderExists, path);
  return inner_->FolderExists(path);
}

void FaultyFileSystem::CopyFile(const std::string& source, const std::string& destination,
                                bool overwrite) {
  Check(FsOp::CopyFile, source, destination);
  inner_->CopyFile(source, destination, overwrite);
}

void FaultyFileSystem::DeleteFile(const std::string& path, bool force) {
  Check(FsOp::DeleteFile, path);
  inner_->DeleteFile(path, force);
}

void FaultyFileSystem::CreateFolder(const std::string& path) {
  Check(FsOp::CreateFolder, path);
  inner_->CreateFolder(path);
}

void FaultyFileSystem::CreateFolders(const std::string& path) {
  Check(FsOp::CreateFolders, path);
  inner_->CreateFolders(path);
}

std::string FaultyFileSystem::GetSpecialFolder(int which) {
  Check(FsOp::GetSpecialFolder, std::to_string(which));
  return inner_->GetSpecialFolder(which);
}

std::int64_t FaultyFileSystem::FileSize(const std::string& path) {
  Check(FsOp::FileSize, path);
  return inner_->FileSize(path);
}

std::vector<std::string> FaultyFileSystem::ListFolder(const std::string& path) {
  Check(FsOp::ListFolder, path);
  return inner_->ListFolder(path);
}

void FaultyFileSystem::WriteNewFile(const std::string& path, const std::string& bytes) {
  Check(FsOp::WriteNewFile, path);
  inner_->WriteNewFile(path, bytes);
}

std::string FaultyFileSystem::ReadFile(const std::string& path) {
  Check(FsOp::ReadFile, path);
  return inner_->ReadFile(path);
}

void FaultyFileSystem::MoveNoReplace(const std::string& source, const std::string& destination) {
  Check(FsOp::MoveNoReplace, source, destination);
  inner_->MoveNoReplace(source, destination);
}

void FaultyFileSystem::SyncFile(const std::string& path) {
  Check(FsOp::SyncFile, path);
  inner_->SyncFile(path);
}

std::vector<std::string> FaultyFileSystem::SyncFiles(const std::vector<std::string>& paths) {
  // Each file is one SyncFile to the faults, so that a flush failing for one file
  // fails the same way whether it is flushed alone or with others.
  std::vector<std::string> failures(paths.size()), flush;
  std::vector<std::size_t> at;
  for (std::size_t i = 0; i < paths.size(); ++i) {
    try {
      Check(FsOp::SyncFile, paths[i]);
      flush.push_back(paths[i]);
      at.push_back(i);
    } catch (const ComError& e) {
      failures[i] = e.Description();
    }
  }
  auto inner = inner_->SyncFiles(flush);
  for (std::size_t k = 0; k < at.size(); ++k) failures[at[k]] = inner[k];
  return failures;
}

void FaultyFileSystem::SyncFolder(const std::string& path) {
  Check(FsOp::SyncFolder, path);
  inner_->SyncFolder(path);
}

std::string FaultyFileSystem::CreatePrivateFolder(const std::string& parent) {
  Check(FsOp::CreatePrivateFolder, parent);
  return inner_->CreatePrivateFolder(parent);
}

void FaultyFileSystem::LinkFile(const std::string& target, const std::string& linkPath) {
  Check(FsOp::LinkFile, target, linkPath);
  inner_->LinkFile(target, linkPath);
}

void FaultyFileSystem::HardLink(const std::string& existing, const std::string& newPath) {
  Check(FsOp::HardLink, existing, newPath);
  inner_->HardLink(existing, newPath);
}

bool FaultyFileSystem::SameContent(const std::string& a, const std::string& b) {
  return inner_->SameContent(a, b);
}

std::string FaultyFileSystem::FileStamp(const std::string& path) {
  Check(FsOp::FileStamp, path);
  return inner_->FileStamp(path);
}

void FaultyFileSystem::TrashFile(const std::string& path) {
  Check(FsOp::TrashFile, path);
  inner_->TrashFile(path);
}

std::string FaultyFileSystem::FindInTrash(const std::string& originalPath, std::int64_t size) {
  Check(FsOp::FindInTrash, originalPath);
  return inner_->FindInTrash(originalPath, size);
}

std::string FaultyFileSystem::NewWorkingFileName(const std::string& folder, bool portable) {
  Check(FsOp::NewWorkingFileName, folder);
  return inner_->NewWorkingFileName(folder, portable);
}

bool FaultyFileSystem::IsAbandonedWorkingFile(const std::string& name) {
  return inner_->IsAbandonedWorkingFile(name);
}

}  // namespace stow::mem
