#include "platform/posix/posix_shell.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/com_error.h"
#include "platform/posix/process.h"

namespace stow::posix {

namespace {

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v ? std::string(v) : std::string();
}

std::string HomeFolder() {
  std::string home = Env("HOME");
  if (!home.empty()) return home;
  if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) return pw->pw_dir;
  return {};
}

std::string Trim(const std::string& s) {
  auto b = s.find_first_not_of(" \t\r");
  if (b == std::string::npos) return {};
  auto e = s.find_last_not_of(" \t\r");
  return s.substr(b, e - b + 1);
}

}  // namespace

std::string ParseUserDir(const std::string& fileText, const std::string& key,
                         const std::string& home) {
  std::istringstream in(fileText);
  std::string line;
  std::string found;
  while (std::getline(in, line)) {
    line = Trim(line);
    if (line.empty() || line[0] == '#') continue;
    auto eq = line.find('=');
    if (eq == std::string::npos || Trim(line.substr(0, eq)) != key) continue;
    std::string value = Trim(line.substr(eq + 1));
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
      value = value.substr(1, value.size() - 2);
    // The file format allows backslash escapes of quotes, dollars and backslashes.
    std::string unescaped;
    for (std::size_t i = 0; i < value.size(); ++i) {
      if (value[i] == '\\' && i + 1 < value.size()) ++i;
      unescaped += value[i];
    }
    value = unescaped;
    if (value == "$HOME" || value.rfind("$HOME/", 0) == 0) {
      if (home.empty()) continue;
      value = home + value.substr(5);
    } else if (value.empty() || value[0] != '/') {
      continue;
    }
    found = value;  // the last assignment wins, as in the shell that reads it
  }
  while (found.size() > 1 && found.back() == '/') found.pop_back();
  return found;
}

bool PosixShell::ShellOpen(const std::string& pathOrAddress) {
  std::string program = FindProgram(openCommand_);
  if (program.empty()) return false;
  return SpawnDetached({program, pathOrAddress}) == 0;
}

std::string PosixShell::SpecialFolderPath(int csidl) {
  if (csidl != platform::CSIDL_PERSONAL) return {};
  std::string home = HomeFolder();
  std::string config = Env("XDG_CONFIG_HOME");
  if (config.empty() || config[0] != '/') config = home.empty() ? "" : home + "/.config";
  if (!config.empty()) {
    std::ifstream file(config + "/user-dirs.dirs");
    if (file) {
      std::stringstream text;
      text << file.rdbuf();
      std::string dir = ParseUserDir(text.str(), "XDG_DOCUMENTS_DIR", home);
      if (!dir.empty()) return dir;
    }
  }
  return home.empty() ? std::string() : home + "/Documents";
}

std::string PosixShell::SystemTempPath() {
  std::string tmp = Env("TMPDIR");
  return tmp.empty() ? std::string("/tmp") : tmp;
}

std::string PosixShell::ProgramFolder() {
  if (programFolder_) return *programFolder_;
  char buffer[4096];
  ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return {};
  std::string exe(buffer, static_cast<std::size_t>(n));
  auto slash = exe.rfind('/');
  if (slash == std::string::npos) return {};
  return slash == 0 ? "/" : exe.substr(0, slash);
}

int PosixWshShell::Run(const std::string& command, int windowStyle, bool wait) {
  (void)windowStyle;
  std::vector<std::string> argv = {"/bin/sh", "-c", command};
  if (wait) {
    int err = 0;
    auto code = RunAndWait(argv, err);
    if (!code)
      throw ComError(errnum::kFail, "Wscript.Shell",
                     "Cannot run the command " + command + ": " + std::strerror(err));
    return *code;
  }
  if (int err = SpawnDetached(argv))
    throw ComError(errnum::kFail, "Wscript.Shell",
                   "Cannot run the command " + command + ": " + std::strerror(err));
  return 0;
}

}  // namespace stow::posix
