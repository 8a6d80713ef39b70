#pragma once
// What the IMAP tests share: a private Dovecot with the user alice (ImapServerTest),
// the independent client peek.py to fill and inspect it, a scripted fake server
// for what Dovecot never does, and a relay that cuts connections.

#include <poll.h>

#include <atomic>
#include <functional>
#include <nlohmann/json.hpp>

#include "common/dovecot_server.h"
#include "common/hash.h"
#include "platform/imap/connector.h"

namespace stow::testing {

using namespace std::chrono_literals;
using imap::Endpoint;
using imap::SessionOptions;

struct MailboxDump {
  std::uint32_t uidValidity = 0, uidNext = 0;
  std::vector<nlohmann::json> messages;  // in UID order
  std::vector<nlohmann::json> Where(const std::string& field, const nlohmann::json& value) const {
    std::vector<nlohmann::json> out;
    for (const auto& m : messages)
      if (m[field] == value) out.push_back(m);
    return out;
  }
};

class ImapServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::string why = DovecotServer::MissingReason(); !why.empty()) GTEST_SKIP() << why;
    ASSERT_TRUE(server = DovecotServer::Start());
    server->AddUser("alice", "secret");
  }

  Endpoint Account(bool implicitTls = true, std::uint16_t port = 0) const {
    if (!port) port = implicitTls ? server->imapsPort() : server->imapPort();
    return Endpoint::Parse(std::string(implicitTls ? "imaps" : "imap") +
                           "://alice@127.0.0.1:" + std::to_string(port) + "/");
  }
  SessionOptions Options() const {
    SessionOptions o;
    o.caFile = server->caFile();
    o.timeout = 5s;
    return o;
  }

  std::string Peek(std::vector<std::string> args) const {
    // Debian's interpreter (scripts/setup installs it), not a slower wrapper on $PATH.
    args.insert(args.begin(),
                {access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3",
                 STOW_SOURCE_DIR "/tests/platform/imap/peek.py", std::to_string(server->imapPort()),
                 "alice", "secret"});
    std::optional<std::string> out = RunProgram(args);
    EXPECT_TRUE(out) << "peek.py " << args[5];
    return out.value_or("");
  }
  MailboxDump Dump(const std::string& mailbox) const {
    MailboxDump d;
    std::istringstream lines(Peek({"dump", mailbox}));
    std::string line;
    std::getline(lines, line);
    auto head = nlohmann::json::parse(line);
    d.uidValidity = head["uidvalidity"];
    d.uidNext = head["uidnext"];
    while (std::getline(lines, line)) d.messages.push_back(nlohmann::json::parse(line));
    return d;
  }

  std::unique_ptr<DovecotServer> server;
};

// Listens on 127.0.0.1 and runs script(fd) for each connection, one at a time.
class FakeServer {
 public:
  explicit FakeServer(std::function<void(int)> script)
      : listener_(LoopbackSocket(0, true)), thread_([this, script] {
          for (int fd; (fd = accept(listener_, nullptr, nullptr)) >= 0; close(fd)) script(fd);
        }) {}
  ~FakeServer() {
    shutdown(listener_, SHUT_RDWR);
    thread_.join();
    close(listener_);
  }
  std::uint16_t port() const { return PortOf(listener_); }

  // The client's next line without CR LF ("" at its end).
  static std::string ReadLine(int fd) {
    std::string line;
    for (char c; recv(fd, &c, 1, 0) == 1 && c != '\n';) line += c;
    return line.substr(0, line.find('\r'));
  }
  static void Send(int fd, const std::string& text) {
    (void)!send(fd, text.data(), text.size(), MSG_NOSIGNAL);
  }

 private:
  int listener_;
  std::thread thread_;
};

// A small IMAP server with capabilities caps; SELECT is answered by onSelect.
inline std::function<void(int)> Script(const std::string& caps,
                                       std::function<void(int, const std::string&)> onSelect) {
  return [=](int fd) {
    FakeServer::Send(fd, "* OK fake ready\r\n");
    for (std::string line; !(line = FakeServer::ReadLine(fd)).empty();) {
      std::string tag = line.substr(0, line.find(' ')), command = line.substr(tag.size() + 1);
      if (command.rfind("SELECT", 0) == 0)
        onSelect(fd, tag);
      else
        FakeServer::Send(fd, (command == "CAPABILITY" ? "* CAPABILITY " + caps + "\r\n" : "") +
                                 tag + " OK done\r\n");
    }
  };
}

// Relays connections to 127.0.0.1:target and cuts them on demand: CutAfter(n) ends
// the next connection once the server sent n bytes through it (and with staysDown
// every later one at once, until Up()), CutNow() the current one at once.
class CuttingProxy {
 public:
  explicit CuttingProxy(std::uint16_t target)
      : relay_([this, target](int client) { Relay(client, target); }) {}
  std::uint16_t port() const { return relay_.port(); }
  void CutAfter(std::size_t serverBytes, bool staysDown = false) {
    staysDown_ = staysDown;
    cutAfter_ = serverBytes;
  }
  void Up() { down_ = false; }
  void CutNow() {
    for (cutNow_ = active_.load(); cutNow_;) std::this_thread::sleep_for(1ms);
  }

 private:
  void Relay(int client, std::uint16_t target) {
    if (down_) return;
    int server = LoopbackSocket(target, false);
    active_ = true;
    std::size_t fromServer = 0, limit = cutAfter_.exchange(0);
    char buf[4096];
    for (pollfd p[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}}; server >= 0 && !cutNow_;) {
      if (poll(p, 2, 5) < 0) break;
      if (p[0].revents && !Pass(client, server, buf, sizeof buf)) break;
      if (!p[1].revents) continue;
      std::size_t n =
          Pass(server, client, buf, limit ? std::min(limit - fromServer, sizeof buf) : sizeof buf);
      if (!n) break;
      if (limit && (fromServer += n) >= limit) {
        down_ = staysDown_.load();
        break;
      }
    }
    close(server);
    active_ = cutNow_ = false;
  }
  static std::size_t Pass(int from, int to, char* buf, std::size_t room) {
    ssize_t n = recv(from, buf, room, 0);
    return n > 0 && send(to, buf, static_cast<std::size_t>(n), MSG_NOSIGNAL) == n
               ? static_cast<std::size_t>(n)
               : 0;
  }

  std::atomic<std::size_t> cutAfter_{0};
  std::atomic<bool> cutNow_{false}, active_{false}, staysDown_{false}, down_{false};
  FakeServer relay_;
};

}  // namespace stow::testing
