#pragma once
// A private Dovecot for the tests that need a real IMAP server.
//
// Start() makes a scratch folder under $TMPDIR (or /tmp) holding all the server
// uses: its configuration, a CA and a certificate for 127.0.0.1 made with openssl,
// a passwd-file, the users' Maildirs, its runtime, state and log files. Dovecot runs
// in the foreground (dovecot -F), a child of the test in a process group of its own,
// on 127.0.0.1 and two free ports (imap with STARTTLS, imaps); the destructor stops
// it by its process id (SIGKILL to the group: a SIGTERM costs a second) and removes
// the folder (kept when STOW_KEEP_DOVECOT is set).
// As root, Dovecot's processes run as its Debian users and the mail belongs to
// nobody (Dovecot refuses root as a mail user); otherwise all runs as the caller.
// Dovecot logs each command a user's sessions receive (rawlog_dir): Commands().
// ImapServerTest (tests/platform/imap/imap_fixture.h) shows its use.

#include <arpa/inet.h>
#include <glib.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/temp_dir.h"

namespace stow::testing {

// Runs argv (found on $PATH); its standard output, or nullopt when it failed.
inline std::optional<std::string> RunProgram(const std::vector<std::string>& argv) {
  std::vector<gchar*> args;
  for (const std::string& a : argv) args.push_back(const_cast<gchar*>(a.c_str()));
  args.push_back(nullptr);
  gchar *out = nullptr, *err = nullptr;
  gint status = 0;
  bool ok = g_spawn_sync(nullptr, args.data(), nullptr, G_SPAWN_SEARCH_PATH, nullptr, nullptr, &out,
                         &err, &status, nullptr) &&
            g_spawn_check_wait_status(status, nullptr);
  std::string text = out ? out : "";
  g_free(out);
  g_free(err);
  if (!ok) return std::nullopt;
  return text;
}

// A socket on 127.0.0.1:port (0: any free port): listening, or connected to it
// (-1 when nothing listens there).
inline int LoopbackSocket(std::uint16_t port, bool listening) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  auto* addr = reinterpret_cast<sockaddr*>(&a);
  if (listening ? bind(fd, addr, sizeof a) == 0 && listen(fd, 8) == 0
                : connect(fd, addr, sizeof a) == 0)
    return fd;
  close(fd);
  return -1;
}

inline std::uint16_t PortOf(int fd) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  return ntohs(a.sin_port);
}

class DovecotServer {
 public:
  // Why the server cannot run here; empty when it can.
  static std::string MissingReason() {
    if (access("/usr/sbin/dovecot", X_OK) != 0)
      return "Dovecot is not installed (scripts/setup installs dovecot-imapd)";
    if (!RunProgram({"openssl", "version"})) return "openssl is not installed";
    return "";
  }

  // A running server; nullptr (the test failed) when it did not start. extraConfig
  // is added to its configuration ("imap_capability = ...").
  static std::unique_ptr<DovecotServer> Start(const std::string& extraConfig = "") {
    std::unique_ptr<DovecotServer> server(new DovecotServer());
    server->extraConfig_ = extraConfig;
    server->Init();
    return ::testing::Test::HasFatalFailure() ? nullptr : std::move(server);
  }

  ~DovecotServer() {
    Kill();
    if (!dir_.empty() && !std::getenv("STOW_KEEP_DOVECOT")) std::filesystem::remove_all(dir_);
  }

  // A user with an empty Maildir (Dovecot reads the passwd-file again when it changes).
  void AddUser(const std::string& name, const std::string& password) {
    std::string home = dir_ + "/home/" + name;
    std::filesystem::create_directories(home + "/rawlog");
    for (const char* sub : {"", "/rawlog"}) (void)!chown((home + sub).c_str(), uid_, gid_);
    users_ += name + ":{PLAIN}" + password + ":" + std::to_string(uid_) + ":" +
              std::to_string(gid_) + "::" + home + "::\n";
    WriteAll(dir_ + "/passwd", users_);
  }

  // Kills all the server's processes at once, as a crash would.
  void Kill() {
    if (pid_ > 0) {
      kill(-pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    pid_ = -1;
  }
  // Starts the server again on the same ports, with the same users and mail.
  bool Restart() {
    Kill();
    // Dotlocks of the killed processes (dovecot-uidlist.lock) would hold every
    // session up until Dovecot takes them for stale, two minutes later.
    for (const auto& f : std::filesystem::recursive_directory_iterator(dir_ + "/home"))
      if (f.path().extension() == ".lock") std::filesystem::remove(f.path());
    Launch(false);
    return pid_ > 0;
  }

  std::uint16_t imapPort() const { return imapPort_; }
  std::uint16_t imapsPort() const { return imapsPort_; }
  std::string caFile() const { return dir_ + "/ca.pem"; }
  const std::string& dir() const { return dir_; }
  std::string Log() const { return ReadAll(dir_ + "/dovecot.log"); }
  // Whether the log says text within three seconds (Dovecot logs a disconnection
  // after the client has gone).
  bool LogSays(const std::string& text) const {
    for (int i = 0; i < 300; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(10)))
      if (Log().find(text) != std::string::npos) return true;
    return false;
  }

  // The commands user's sessions sent so far, without tags.
  std::vector<std::string> Commands(const std::string& user) const {
    std::vector<std::string> out;
    for (const auto& f : std::filesystem::directory_iterator(dir_ + "/home/" + user + "/rawlog")) {
      if (f.path().extension() != ".in") continue;
      std::istringstream lines(ReadAll(f.path()));
      // "<time> <tag> COMMAND...\r"; the lines of a literal have no tag.
      for (std::string line, time, tag, rest; std::getline(lines, line);) {
        std::istringstream words(line.substr(0, line.find('\r')));
        if (words >> time >> tag >> std::ws && std::getline(words, rest)) out.push_back(rest);
      }
    }
    return out;
  }

 private:
  DovecotServer() = default;

  void Init() {
    std::string pattern = std::filesystem::temp_directory_path() / "stowbright-dovecot-XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    chmod(dir_.c_str(), 0755);  // Dovecot's own users read the configuration and the mail
    bool root = geteuid() == 0;
    passwd* pw = root ? getpwnam("nobody") : getpwuid(getuid());
    group* gr = pw ? getgrgid(pw->pw_gid) : nullptr;
    ASSERT_TRUE(pw && gr);
    uid_ = pw->pw_uid;
    gid_ = pw->pw_gid;
    who_ = root ? "default_internal_user = dovecot\ndefault_login_user = dovenull\n"
                : "default_internal_user = " + std::string(pw->pw_name) +
                      "\ndefault_login_user = " + pw->pw_name +
                      "\ndefault_internal_group = " + gr->gr_name + "\n";
    const std::string d = dir_ + "/";
    WriteAll(d + "san.cnf", "subjectAltName=IP:127.0.0.1,DNS:localhost\n");
    const std::vector<std::vector<std::string>> steps = {
        {"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
         "-nodes", "-days", "2", "-subj", "/CN=Stowbright test CA", "-keyout", d + "ca.key", "-out",
         d + "ca.pem"},
        {"openssl", "req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
         "-subj", "/CN=localhost", "-keyout", d + "server.key", "-out", d + "server.csr"},
        {"openssl", "x509", "-req", "-in", d + "server.csr", "-CA", d + "ca.pem", "-CAkey",
         d + "ca.key", "-CAcreateserial", "-out", d + "server.pem", "-days", "2", "-extfile",
         d + "san.cnf"}};
    for (const auto& step : steps)
      ASSERT_TRUE(RunProgram(step)) << "openssl " << step[1] << " failed";
    chmod((d + "server.key").c_str(), 0644);
    WriteAll(d + "passwd", "");
    for (int attempt = 0; attempt < 3 && pid_ <= 0; ++attempt) Launch(true);
    ASSERT_GT(pid_, 0) << "Dovecot did not start:\n" << Log();
  }

  void Launch(bool newPorts) {
    if (newPorts) {
      int a = LoopbackSocket(0, true), b = LoopbackSocket(0, true);
      imapPort_ = PortOf(a);
      imapsPort_ = PortOf(b);
      close(a);
      close(b);
    }
    const std::string& d = dir_;
    WriteAll(
        d + "/dovecot.conf",
        "base_dir = " + d + "/run\nstate_dir = " + d + "/state\nlog_path = " + d +
            "/dovecot.log\n" + "protocols = imap\nlisten = 127.0.0.1\nssl = yes\nssl_cert = <" + d +
            "/server.pem\n" + "ssl_key = <" + d + "/server.key\n" + who_ + "first_valid_uid = 1\n" +
            "auth_mechanisms = plain\nauth_failure_delay = 0\ndisable_plaintext_auth = no\n" +
            "passdb {\n driver = passwd-file\n args = scheme=PLAIN " + d + "/passwd\n}\n" +
            "userdb {\n driver = passwd-file\n args = " + d + "/passwd\n}\n" +
            "mail_location = maildir:~/Maildir\nmail_fsync = never\n" + "rawlog_dir = " + d +
            "/home/%u/rawlog\nservice anvil {\n chroot =\n}\n" +
            "service imap-login {\n chroot =\n inet_listener imap {\n  port = " +
            std::to_string(imapPort_) + "\n }\n inet_listener imaps {\n  port = " +
            std::to_string(imapsPort_) + "\n  ssl = yes\n }\n}\n" + extraConfig_);
    std::string config = d + "/dovecot.conf";
    gchar* argv[] = {const_cast<gchar*>("/usr/sbin/dovecot"), const_cast<gchar*>("-F"),
                     const_cast<gchar*>("-c"), config.data(), nullptr};
    GPid pid = 0;
    if (!g_spawn_async(
            nullptr, argv, nullptr, G_SPAWN_DO_NOT_REAP_CHILD, [](gpointer) { setpgid(0, 0); },
            nullptr, &pid, nullptr))
      return;
    for (int i = 0; i < 1000 && waitpid(pid, nullptr, WNOHANG) == 0; ++i) {
      int x = LoopbackSocket(imapPort_, false), y = LoopbackSocket(imapsPort_, false);
      close(x);
      close(y);
      if (x >= 0 && y >= 0) {
        pid_ = pid;
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(-pid, SIGKILL);  // it never listened (or it gave up: a port was taken)
    waitpid(pid, nullptr, 0);
  }

  std::string dir_, users_, extraConfig_, who_;
  uid_t uid_ = 0;
  gid_t gid_ = 0;
  std::uint16_t imapPort_ = 0, imapsPort_ = 0;
  pid_t pid_ = -1;
};

}  // namespace stow::testing
