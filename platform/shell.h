#pragma once
// The desktop shell and the script host's shell object: opening a document or an
// address with its default handler, running a program, special folder paths and
// the system's temporary path.

#include <string>

#include "platform/com_object.h"

namespace stow::platform {

// Special folder ids of the shell's folder-path service.
inline constexpr int CSIDL_PERSONAL = 5;  // the user's Documents folder

// No member raises.
class Shell {
 public:
  virtual ~Shell() = default;
  // Starts the default action on a document or address (xdg-open) and returns at
  // once, without waiting for it; false when it could not be started. Whether the
  // document then opens is the handler's affair.
  virtual bool ShellOpen(const std::string& pathOrAddress) = 0;
  // The path of a special folder (CSIDL_PERSONAL: the user's Documents), without a
  // trailing "/"; empty when there is none (every other id).
  virtual std::string SpecialFolderPath(int csidl) = 0;
  // The operating system's temporary path, empty when there is none.
  virtual std::string SystemTempPath() = 0;
  // The folder the program itself was installed to.
  virtual std::string ProgramFolder() = 0;
  // The folder its manual lives in: the program's own folder unless the platform
  // keeps documentation elsewhere.
  virtual std::string ManualFolder() { return ProgramFolder(); }
};

// "Wscript.Shell": runs a command line.
class WshShell : public ComObject {
 public:
  // Runs command (a shell command line). wait: returns its exit code once it ended
  // (128 + the signal's number when a signal ended it). Otherwise it runs in the
  // background and 0 is returned at once. windowStyle is informational on this
  // platform. Raises ComError when the command cannot be started at all.
  virtual int Run(const std::string& command, int windowStyle, bool wait) = 0;
};

}  // namespace stow::platform
