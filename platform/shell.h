#pragma once
// The desktop shell and the script host's shell object: opening a document or an
// address with its default handler, running a program, special folder paths and
// the system's temporary path.

#include <string>

#include "platform/com_object.h"

namespace stow::platform {

// Special folder ids of the shell's folder-path service.
inline constexpr int CSIDL_PERSONAL = 5;  // the user's Documents folder

class Shell {
 public:
  virtual ~Shell() = default;
  // The default action on a document or address (xdg-open); false when it could not start.
  virtual bool ShellOpen(const std::string& pathOrAddress) = 0;
  // The path of a special folder, empty when there is none.
  virtual std::string SpecialFolderPath(int csidl) = 0;
  // The operating system's temporary path, empty when there is none.
  virtual std::string SystemTempPath() = 0;
  // The folder the program itself was installed to (where its manual lives).
  virtual std::string ProgramFolder() = 0;
};

// "Wscript.Shell": runs a command line. windowStyle is informational on this
// platform; with wait false the command runs in the background. Returns the exit
// code when waiting, else 0. Raises when the program cannot be started.
class WshShell : public ComObject {
 public:
  virtual int Run(const std::string& command, int windowStyle, bool wait) = 0;
};

}  // namespace stow::platform
