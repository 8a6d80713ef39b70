#pragma once
// The desktop shell and "Wscript.Shell" on Linux: xdg-open for the open verb, the
// XDG user directories for special folders, /bin/sh for command lines. What each
// member promises is the contract's (platform/shell.h); the comments here say how.

#include <optional>
#include <string>

#include "platform/shell.h"

namespace stow::posix {

class PosixShell : public platform::Shell {
 public:
  // Runs `xdg-open pathOrAddress` (SetOpenCommand) detached: never a zombie.
  bool ShellOpen(const std::string& pathOrAddress) override;
  // CSIDL_PERSONAL: XDG_DOCUMENTS_DIR of $XDG_CONFIG_HOME/user-dirs.dirs (default
  // ~/.config), with $HOME expanded, else $HOME/Documents. Other ids: empty.
  std::string SpecialFolderPath(int csidl) override;
  // $TMPDIR, or /tmp when unset or empty.
  std::string SystemTempPath() override;
  // The folder of /proc/self/exe, unless set.
  std::string ProgramFolder() override;
  void SetProgramFolder(std::string folder) { programFolder_ = std::move(folder); }
  // The program ShellOpen runs (default "xdg-open", looked up on $PATH).
  void SetOpenCommand(std::string program) { openCommand_ = std::move(program); }

 private:
  std::optional<std::string> programFolder_;
  std::string openCommand_ = "xdg-open";
};

// Parses the text of a user-dirs.dirs file for `key` (XDG_DOCUMENTS_DIR ...):
// the value in double quotes, "$HOME" at its start replaced by home. Empty when
// the key is absent or its value is neither absolute nor under $HOME.
std::string ParseUserDir(const std::string& fileText, const std::string& key,
                         const std::string& home);

class PosixWshShell : public platform::WshShell {
 public:
  // `/bin/sh -c command`; without wait detached, never a zombie.
  int Run(const std::string& command, int windowStyle, bool wait) override;
};

}  // namespace stow::posix
