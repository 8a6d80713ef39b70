// The protocol layer against a private Dovecot, checked through an independent
// client (peek.py), the server's log and the commands it received.

#include <algorithm>
#include <map>

#include "imap/imap_fixture.h"
#include "platform/imap/credentials.h"

namespace stow::testing {
namespace {

using imap::Connector;
using imap::FetchedMessage;
using imap::ImapError;
using imap::NewMailWatch;
using imap::Session;

class ImapSession : public ImapServerTest {
 protected:
  // Delivers a message through peek.py after a pause, having run before.
  std::thread DeliverSoon(std::function<void()> before = [] {}) {
    return std::thread([this, before] {
      std::this_thread::sleep_for(300ms);
      before();
      Peek({"append", "INBOX", "()", "01-Feb-2021 10:00:00 +0100", "Subject: new\r\n\r\nhi\r\n"});
    });
  }
};

TEST_F(ImapSession, LoginChecksPasswordAndCertificateAndUsesTls) {
  auto caps = Session::Open(Account(), "secret", Options())->capabilities();
  EXPECT_TRUE(caps.count("UIDPLUS") && caps.count("IDLE"));
  // imap:// upgrades with STARTTLS: Dovecot logs a plain text login as "secured".
  Session::Open(Account(false), imap::ObtainPassword(Account(false), "echo secret"), Options());
  std::istringstream log(server->Log());
  for (std::string line; std::getline(log, line);)
    EXPECT_FALSE(line.find("Login:") != std::string::npos &&
                 line.find("secured") != std::string::npos)
        << line;
  SessionOptions untrusted = Options();
  untrusted.caFile.clear();
  for (auto [password, options, says] :
       {std::tuple{"wrong", Options(), "refused the login of alice"},
        std::tuple{"secret", untrusted, "is not trusted"}}) {
    try {
      Session::Open(Account(), password, options);
      ADD_FAILURE() << says;
    } catch (const ImapError& e) {
      EXPECT_EQ(e.kind(), ImapError::Kind::kSetup);
      EXPECT_NE(e.Description().find(says), std::string::npos) << e.Description();
      EXPECT_NE(e.Description().find("127.0.0.1:" + std::to_string(server->imapsPort())),
                std::string::npos);
    }
  }
  // The password never went to the server whose certificate failed the check.
  EXPECT_TRUE(server->LogSays("no auth attempts"));
}

TEST_F(ImapSession, ListsSelectsAndFetchesFoldersInBatches) {
  Peek({"fill", "INBOX", "120"});
  Peek({"create", "Projects.Caf&AOk-"});
  SessionOptions o = Options();
  o.headerBatch = 50;
  o.bodyBatch = 40;
  auto session = Session::Open(Account(), "secret", o);
  auto folders = session->List();
  auto cafe = std::find_if(folders.begin(), folders.end(),
                           [](auto& f) { return f.name == "Projects.Caf&AOk-"; });
  ASSERT_NE(cafe, folders.end());
  EXPECT_EQ(cafe->displayName, "Projects.Café");
  EXPECT_EQ(cafe->delimiter, '.');

  const auto& state = session->Select("INBOX");
  std::vector<std::uint32_t> uids = session->SearchAll();
  std::map<std::uint32_t, FetchedMessage> headers, bodies;
  session->Fetch(uids, imap::kFetchHeader, [&](FetchedMessage& m) { headers[m.uid] = m; });
  session->Fetch(uids, imap::kFetchBody, [&](FetchedMessage& m) { bodies[m.uid] = m; });
  std::vector<std::string> commands = server->Commands("alice");
  EXPECT_EQ(std::count_if(commands.begin(), commands.end(),
                          [](auto& c) { return c.rfind("UID FETCH", 0) == 0; }),
            3 + 3);

  MailboxDump dump = Dump("INBOX");
  EXPECT_EQ(state.uidValidity, dump.uidValidity);
  EXPECT_EQ(state.uidNext, dump.uidNext);
  ASSERT_EQ(dump.messages.size(), 120u);
  ASSERT_EQ(bodies.size(), 120u);
  for (const auto& m : dump.messages) {
    FetchedMessage& b = bodies[m["uid"]];
    std::sort(b.flags.begin(), b.flags.end());
    EXPECT_EQ(b.flags, m["flags"].get<std::vector<std::string>>());
    EXPECT_EQ(Sha256(b.message), m["sha256"]);
    EXPECT_EQ(b.internalDate.ToImap(), m["date"]);
    EXPECT_EQ(b.size, m["size"]);
    EXPECT_EQ(b.message.rfind(headers[m["uid"]].header, 0), 0u);
  }
}

// New mail wakes IDLE at once (polling every minute would not); without IDLE,
// polling finds it.
TEST_F(ImapSession, WatchSeesDeliveriesThroughIdleOrPolling) {
  for (bool idle : {true, false}) {
    SessionOptions o = Options();
    o.useIdle = idle;
    o.pollInterval = idle ? 60s : 200ms;
    Connector conn(Account(), "secret", o);
    NewMailWatch watch(conn, "INBOX");
    EXPECT_TRUE(watch.Wait(0ms).empty());
    std::thread deliver = DeliverSoon();
    auto start = std::chrono::steady_clock::now();
    std::vector<std::uint32_t> found = watch.Wait(20s);
    deliver.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_EQ(found, std::vector<std::uint32_t>{Dump("INBOX").messages.back()["uid"]});
  }
  std::vector<std::string> commands = server->Commands("alice");
  EXPECT_EQ(std::count(commands.begin(), commands.end(), "IDLE"), 1);
}

// A connection cut in the middle of a batch is opened again and the fetch goes on
// with what it had not handed over; a watch survives a cut too.
TEST_F(ImapSession, CutConnectionsAreOpenedAgainAndResumed) {
  Peek({"fill", "INBOX", "30", "20"});
  CuttingProxy proxy(server->imapPort());
  proxy.CutAfter(200 * 1024);
  Connector conn(Account(false, proxy.port()), "secret", Options(), {3, 50ms, 1s});
  std::vector<std::string> notices;
  conn.onNotice = [&](const std::string& n) { notices.push_back(n); };
  std::uint32_t validity = conn.Run([](Session& s) { return s.Select("INBOX").uidValidity; });
  std::vector<std::uint32_t> uids = conn.Get().SearchAll(), seen;
  imap::FetchAll(conn, "INBOX", validity, uids, imap::kFetchBody, [&](FetchedMessage& m) {
    EXPECT_EQ(m.size, m.message.size());
    seen.push_back(m.uid);
  });
  std::sort(seen.begin(), seen.end());
  EXPECT_EQ(seen, uids);
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_NE(notices[0].find("closed the connection"), std::string::npos);

  NewMailWatch watch(conn, "INBOX");
  watch.Wait(0ms);
  std::thread deliver = DeliverSoon([&] { proxy.CutNow(); });
  EXPECT_EQ(watch.Wait(20s), std::vector<std::uint32_t>{uids.back() + 1});
  deliver.join();
  EXPECT_EQ(conn.reconnects(), 2);
}

}  // namespace
}  // namespace stow::testing
