#include "platform/file_system.h"

#include "platform/com_error.h"

namespace stow::platform {

void FileSystemObject::SweepAbandonedWorkingFiles(const std::string& folder) {
  auto names = ValueOr(std::vector<std::string>(), [&] { return ListFolder(folder); });
  std::string prefix = folder.empty() || folder.back() == '/' ? folder : folder + "/";
  for (const auto& name : names) {
    if (!ValueOr(false, [&] { return IsAbandonedWorkingFile(name); })) continue;
    IgnoreErrors([&] { DeleteFile(prefix + name, true); });
  }
}

}  // namespace stow::platform
