#include "platform/posix/posix_shell.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/com_error.h"
#include "platform/posix/posix_util.h"
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

namespace {

std::vector<std::string>& OpenFailures() {
  static std::vector<std::string> failures;
  return failures;
}

// An opener that fails says so at once; one that runs longer has handed the target
// to a program.
constexpr std::chrono::milliseconds kOpenerSettles{3000};

}  // namespace

bool OpenWithDesktop(const std::string& opener, const std::string& target, std::string& why) {
  why.clear();
  std::string program = FindProgram(opener);
  if (program.empty()) {
    why = "cannot open " + target + ": there is no " + opener + " on $PATH";
  } else {
    std::optional<int> code;
    if (int err = SpawnDetached({program, target}, kOpenerSettles, code))
      why = "cannot open " + target + ": " + program + " did not start: " + std::strerror(err);
    else if (code && *code != 0)
      why =
          "cannot open " + target + ": " + program + " ended with status " + std::to_string(*code);
  }
  if (why.empty()) return true;
  OpenFailures().push_back(why);
  return false;
}

std::vector<std::string> TakeOpenFailures() {
  std::vector<std::string> out;
  out.swap(OpenFailures());
  return out;
}

bool PosixShell::ShellOpen(const std::string& pathOrAddress) {
  std::string why;
  return OpenWithDesktop(openCommand_, pathOrAddress, why);
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

std::string PosixShell::ManualFolder() {
  std::string program = ProgramFolder();
  std::string installed = program + "/../share/doc/stowbright";
  return IsFolder(installed) ? installed : program;
}

std::vector<std::string> CommandWords(const std::string& command) {
  std::vector<std::string> words;
  std::string word;
  bool quoted = false, any = false;
  for (char c : command) {
    if (c == '"') {
      quoted = !quoted;
      any = true;
    } else if ((c == ' ' || c == '\t') && !quoted) {
      if (any) words.push_back(word);
      word.clear();
      any = false;
    } else {
      word += c;
      any = true;
    }
  }
  if (any) words.push_back(word);
  return words;
}

namespace {

// "https://...", "mailto:...": a scheme of two or more letters before the colon (one
// letter would be a drive).
bool IsAddress(const std::string& word) {
  auto colon = word.find(':');
  if (colon == std::string::npos || colon < 2) return false;
  for (std::size_t i = 0; i < colon; ++i)
    if (!std::isalnum(static_cast<unsigned char>(word[i])) && word[i] != '+' && word[i] != '-' &&
        word[i] != '.')
      return false;
  return std::isalpha(static_cast<unsigned char>(word[0])) != 0;
}

[[noreturn]] void RaiseRun(const std::string& why) {
  throw ComError(errnum::kFail, "Wscript.Shell", why);
}

}  // namespace

int PosixWshShell::Run(const std::string& command, int windowStyle, bool wait) {
  (void)windowStyle;
  std::vector<std::string> words = CommandWords(command);
  if (words.empty()) RaiseRun("Cannot run an empty command");
  std::string program = IsAddress(words[0]) ? "" : FindProgram(words[0]);
  if (program.empty()) {
    // Not a program: a document or an address, opened as the desktop opens it.
    struct stat st {};
    if (!IsAddress(words[0]) && ::stat(words[0].c_str(), &st) != 0)
      RaiseRun("Cannot run " + words[0] + ": there is no such program or document");
    std::string why;
    if (!OpenWithDesktop(openCommand_, words[0], why)) RaiseRun(why);
    return 0;
  }
  words[0] = program;
  if (wait) {
    int err = 0;
    auto code = RunAndWait(words, err);
    if (!code) RaiseRun("Cannot run " + program + ": " + std::strerror(err));
    return *code;
  }
  if (int err = SpawnDetached(words)) RaiseRun("Cannot run " + program + ": " + std::strerror(err));
  return 0;
}

}  // namespace stow::posix
