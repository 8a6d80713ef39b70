#include "platform/memory/memory_shell.h"

namespace stow::mem {

bool MemoryShell::ShellOpen(const std::string& pathOrAddress) {
  opened_.push_back(pathOrAddress);
  return openResult_;
}

std::string MemoryShell::SpecialFolderPath(int csidl) {
  auto it = specialFolders_.find(csidl);
  return it == specialFolders_.end() ? std::string() : it->second;
}

int MemoryWshShell::Run(const std::string& command, int windowStyle, bool wait) {
  calls_.push_back(RunCall{command, windowStyle, wait});
  if (failure_) throw *failure_;
  return wait ? exitCode_ : 0;
}

std::vector<std::string> MemoryWshShell::Commands() const {
  std::vector<std::string> commands;
  for (const auto& c : calls_) commands.push_back(c.command);
  return commands;
}

}  // namespace stow::mem
