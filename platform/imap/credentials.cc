#include "platform/imap/credentials.h"

#include <glib.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/com_error.h"

namespace stow::imap {

namespace {

// Overwrites a secret before its memory goes back to the allocator.
void Wipe(std::string& s) {
  volatile char* p = s.data();
  for (std::size_t i = 0; i < s.size(); ++i) p[i] = 0;
  s.clear();
}

[[noreturn]] void Fail(const std::string& why) {
  Raise(errnum::kAccessDenied, "Stowbright", why);
}

// netrc tokens: words split by white space, or "quoted" with backslash escapes.
// A macro definition runs to the next empty line and is skipped.
std::vector<std::string> Tokens(const std::string& text) {
  std::vector<std::string> out;
  std::size_t i = 0;
  auto space = [&](std::size_t k) { return g_ascii_isspace(text[k]); };
  while (i < text.size()) {
    while (i < text.size() && space(i)) ++i;
    if (i >= text.size()) break;
    std::string token;
    if (text[i] == '"') {
      for (++i; i < text.size() && text[i] != '"'; ++i) {
        if (text[i] == '\\' && i + 1 < text.size()) ++i;
        token += text[i];
      }
      ++i;
    } else {
      while (i < text.size() && !space(i)) token += text[i++];
    }
    if (token == "macdef") {
      std::size_t end = text.find("\n\n", i);
      i = end == std::string::npos ? text.size() : end + 2;
      continue;
    }
    out.push_back(std::move(token));
  }
  return out;
}

}  // namespace

std::string PasswordFromCommand(const std::string& commandLine) {
  const gchar* argv[] = {"/bin/sh", "-c", commandLine.c_str(), nullptr};
  gchar* output = nullptr;
  gint status = 0;
  GError* error = nullptr;
  bool ran = g_spawn_sync(nullptr, const_cast<gchar**>(argv), nullptr, G_SPAWN_CHILD_INHERITS_STDIN,
                          nullptr, nullptr, &output, nullptr, &status, &error);
  std::string text = output ? output : "";
  if (output) {
    std::memset(output, 0, text.size());
    g_free(output);
  }
  if (!ran) {
    std::string why = error->message;
    g_error_free(error);
    Fail("The password command could not be run: " + why);
  }
  if (!g_spawn_check_wait_status(status, &error)) {
    std::string why = error->message;
    g_error_free(error);
    Wipe(text);
    Fail("The password command failed (" + why + "): " + commandLine);
  }
  std::size_t end = text.find('\n');
  std::string password = text.substr(0, end);
  Wipe(text);
  if (!password.empty() && password.back() == '\r') password.pop_back();
  if (password.empty()) Fail("The password command printed no password: " + commandLine);
  return password;
}

std::string DefaultNetrcPath() {
  const char* netrc = std::getenv("NETRC");
  if (netrc && *netrc) return netrc;
  return std::string(g_get_home_dir()) + "/.netrc";
}

std::optional<std::string> PasswordFromNetrc(const std::string& path, const std::string& host,
                                             const std::string& user) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) return std::nullopt;
    Fail("Cannot read " + path + ": " + std::strerror(errno));
  }
  if (st.st_mode & (S_IRWXG | S_IRWXO))
    Fail(path + " may be read by other users; make it private (chmod 600 " + path +
         ") before it is used for passwords");
  gchar* contents = nullptr;
  gsize length = 0;
  GError* error = nullptr;
  if (!g_file_get_contents(path.c_str(), &contents, &length, &error)) {
    std::string why = error->message;
    g_error_free(error);
    Fail("Cannot read " + path + ": " + why);
  }
  std::string text(contents, length);
  std::memset(contents, 0, length);
  g_free(contents);
  std::vector<std::string> tokens = Tokens(text);
  Wipe(text);

  // Entries in order: the exact machine before "default", a matching login before none.
  struct Entry {
    bool isDefault = false;
    std::string machine, login, password;
    bool hasLogin = false, hasPassword = false;
  };
  std::vector<Entry> entries;
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    const std::string& t = tokens[i];
    bool hasValue = i + 1 < tokens.size();
    if (t == "machine" && hasValue) {
      entries.emplace_back().machine = tokens[++i];
    } else if (t == "default") {
      entries.emplace_back().isDefault = true;
    } else if (!entries.empty() && hasValue &&
               (t == "login" || t == "password" || t == "account")) {
      Entry& e = entries.back();
      if (t == "login") {
        e.login = tokens[++i];
        e.hasLogin = true;
      } else if (t == "password") {
        e.password = tokens[++i];
        e.hasPassword = true;
      } else {
        ++i;
      }
    }
  }
  std::optional<std::string> found;
  for (bool wantDefault : {false, true}) {
    for (bool needLogin : {true, false}) {
      for (const Entry& e : entries) {
        if (found || e.isDefault != wantDefault || !e.hasPassword) continue;
        if (!wantDefault && g_ascii_strcasecmp(e.machine.c_str(), host.c_str()) != 0) continue;
        if (needLogin ? (e.hasLogin && e.login == user) : !e.hasLogin) found = e.password;
      }
    }
  }
  for (std::string& t : tokens) Wipe(t);
  for (Entry& e : entries) Wipe(e.password);
  return found;
}

std::string ObtainPassword(const Endpoint& endpoint, const std::string& passwordCommand) {
  if (!passwordCommand.empty()) return PasswordFromCommand(passwordCommand);
  std::string path = DefaultNetrcPath();
  if (auto password = PasswordFromNetrc(path, endpoint.host, endpoint.user)) return *password;
  Fail("No password for " + endpoint.user + " at " + endpoint.Server() +
       ": give --password-command CMD (a command that prints it), or add \"machine " +
       endpoint.host + " login " + endpoint.user + " password ...\" to " + path + " (mode 600)");
}

}  // namespace stow::imap
