// Servers Dovecot cannot play: one without UIDPLUS, silent ones, garbage. Each gives
// a clear error naming the server within the timeout (1 second here).

#include "imap/imap_fixture.h"

namespace stow::testing {
namespace {

using imap::ImapError;

void Silent(int fd) {
  while (!FakeServer::ReadLine(fd).empty()) {
  }
}

TEST(ImapFakeServer, RefusedSilentAndGarbageServersFailClearlyInTime) {
  const std::string caps = "IMAP4rev1 UIDPLUS";
  auto ignore = [](int, const std::string&) {};
  struct Case {
    std::function<void(int)> script;
    const char* says;
  } cases[] = {
      {Script("IMAP4rev1 IDLE", ignore), "does not support UIDPLUS"},
      {Silent, "did not answer within 1 second (connecting)"},
      {[](int fd) {
         FakeServer::Send(fd, "SSH-2.0-OpenSSH_9.2\r\n");
         Silent(fd);
       },
       "not IMAP"},
      {Script(caps, ignore), "did not answer within 1 second (SELECT"},
      // Silent in the middle of a literal, which the parser tries to read more than once.
      {Script(caps,
              [](int fd, const std::string&) {
                FakeServer::Send(fd, "* 1 FETCH (UID 1 BODY[HEADER] {99999}\r\nabc\r\n");
              }),
       "did not answer within 1 second (SELECT"},
      {Script(caps, [](int fd, const std::string&) { FakeServer::Send(fd, "]]] (((\r\n"); }),
       "not IMAP (SELECT"},
      {Script(caps,
              [](int fd, const std::string&) {
                for (std::string junk(65536, 'x');
                     send(fd, junk.data(), junk.size(), MSG_NOSIGNAL) > 0;) {
                }
              }),
       "longer than 1048576 bytes"},
      {Script(caps,
              [](int fd, const std::string& tag) { FakeServer::Send(fd, tag + " BAD huh\r\n"); }),
       "rejected SELECT \"INBOX\" as a bad command: huh"},
  };
  SessionOptions options;
  options.timeout = 1s;
  options.maxLineBytes = 1 << 20;
  for (const Case& c : cases) {
    FakeServer server(c.script);
    std::string name = "127.0.0.1:" + std::to_string(server.port());
    auto start = std::chrono::steady_clock::now();
    try {
      // Plain text: the server is on loopback and offers no STARTTLS.
      imap::Session::Open(Endpoint::Parse("imap://alice@" + name + "/"), "pw", options)
          ->Select("INBOX");
      ADD_FAILURE() << c.says;
    } catch (const ImapError& e) {
      EXPECT_LT(std::chrono::steady_clock::now() - start, 2s) << c.says;
      EXPECT_NE(e.Description().find(c.says), std::string::npos) << e.Description();
      EXPECT_NE(e.Description().find(name), std::string::npos) << e.Description();
    }
  }
}

}  // namespace
}  // namespace stow::testing
