#pragma once
// The desktop shell and "Wscript.Shell" on Linux: xdg-open for the open verb, the
// XDG user directories for special folders, /bin/sh for command lines. What each
// member promises is the contract's (platform/shell.h); the comments here say how.

#include <optional>
#include <string>
#include <vector>

#include "platform/shell.h"

namespace stow::posix {

// Hands target to the desktop's opener (`opener target`, never through a shell),
// detached, and watches it for a moment: false, with why saying so, when the opener
// is missing, cannot start, or ends with a non-zero status meanwhile (xdg-open does
// when no program takes the document or address). Each failure is also noted for
// TakeOpenFailures.
bool OpenWithDesktop(const std::string& opener, const std::string& target, std::string& why);

// The failures of OpenWithDesktop since the last call, oldest first: the program
// tells its user what did not open, whatever the caller did with the result.
std::vector<std::string> TakeOpenFailures();

class PosixShell : public platform::Shell {
 public:
  // OpenWithDesktop with the open command (default xdg-open): never a zombie.
  bool ShellOpen(const std::string& pathOrAddress) override;
  // CSIDL_PERSONAL: XDG_DOCUMENTS_DIR of $XDG_CONFIG_HOME/user-dirs.dirs (default
  // ~/.config), with $HOME expanded, else $HOME/Documents. Other ids: empty.
  std::string SpecialFolderPath(int csidl) override;
  // $TMPDIR, or /tmp when unset or empty.
  std::string SystemTempPath() override;
  // The folder of /proc/self/exe, unless set.
  std::string ProgramFolder() override;
  // An installed program's manual is in <prefix>/share/doc/stowbright; one run from
  // its build folder has it beside it.
  std::string ManualFolder() override;
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

// Splits a command line into words: blanks separate them, double quotes group a word
// that holds blanks (and are dropped).
std::vector<std::string> CommandWords(const std::string& command);

class PosixWshShell : public platform::WshShell {
 public:
  // As the desktop's run box, never through a shell: the first word of the command
  // line is a program (a path, or a name found on $PATH) started with the others as
  // its arguments; an address ("https:...", "mailto:...") or a document that is not a
  // program goes to the desktop's opener (OpenWithDesktop). Without wait detached,
  // never a zombie. Raises ComError naming what could not be started or opened.
  int Run(const std::string& command, int windowStyle, bool wait) override;
  // The desktop's opener for addresses and documents (default "xdg-open").
  void SetOpenCommand(std::string program) { openCommand_ = std::move(program); }

 private:
  std::string openCommand_ = "xdg-open";
};

}  // namespace stow::posix
