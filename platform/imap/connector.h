#pragma once
// Staying connected: a Connector opens sessions to one account and opens a new one,
// after a growing pause, when the connection drops; on top of it, a fetch that
// resumes where a dropped connection left it, and a watch for new mail (IDLE, else
// polling) that outlives restarts of the server.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/imap/session.h"

namespace stow::imap {

struct RetryPolicy {
  // Connections tried for one operation (the first one included).
  int attempts = 5;
  // The pause before the second try; doubled before each further one.
  std::chrono::milliseconds firstDelay{500};
  std::chrono::milliseconds maxDelay{30000};
};

class Connector {
 public:
  Connector(Endpoint endpoint, std::string password, SessionOptions options = {},
            RetryPolicy retry = {});
  ~Connector();  // the password is wiped
  Connector(const Connector&) = delete;
  Connector& operator=(const Connector&) = delete;

  // The live session, opening one when there is none (no retry: see Run). For a
  // while after a Run gave up on the server, raises its error without trying.
  Session& Get();
  // Forgets the session; the next Get opens a new one.
  void Drop();

  // Runs op(session) and returns what it returns. When the connection fails during
  // op (or while opening it), the session is dropped and op runs again on a new one
  // after a pause, up to RetryPolicy::attempts runs in all; other errors (kRefused,
  // kSetup, anything op raises) go straight to the caller. op must be safe to run
  // again and must open its folder itself (a new session has none open).
  // Once a Run gave up, the server is taken for away: for RetryPolicy::maxDelay the
  // next Runs fail at once with its error, then each tries once until one works, so
  // a batch over many messages does not wait out the pauses for each of them.
  template <class F>
  auto Run(F&& op) -> decltype(op(std::declval<Session&>())) {
    const int attempts = away_ ? 1 : retry_.attempts;
    for (int attempt = 1;; ++attempt) {
      try {
        return op(Get());
      } catch (const ImapError& e) {
        if (e.kind() != ImapError::Kind::kConnection) throw;
        if (attempt >= attempts) {
          GiveUp(e);
          throw;
        }
        Drop();
        Pause(attempt, e.Description());
      }
    }
  }

  // A new connector to the same account (sharing nothing but the settings and
  // onNotice), for a second connection.
  std::unique_ptr<Connector> Twin() const;

  // The pause before try number attempt + 1.
  std::chrono::milliseconds Delay(int attempt) const;
  // Sleeps before try number attempt + 1 (telling onNotice why); returns the pause.
  std::chrono::milliseconds Pause(
      int attempt, const std::string& why,
      std::chrono::milliseconds atMost = std::chrono::milliseconds::max());

  const Endpoint& endpoint() const { return endpoint_; }
  const SessionOptions& options() const { return options_; }
  const RetryPolicy& retry() const { return retry_; }
  // Sessions opened after the first one.
  int reconnects() const { return reconnects_; }
  // Told about each lost connection and the pause before the next try.
  std::function<void(const std::string&)> onNotice;

 private:
  Endpoint endpoint_;
  std::string password_;
  SessionOptions options_;
  RetryPolicy retry_;
  void GiveUp(const ImapError& why);

  std::unique_ptr<Session> session_;
  // Why the last Run gave up, until a session opens again; no try before retryAt_.
  std::optional<ImapError> away_;
  std::chrono::steady_clock::time_point retryAt_;
  int opened_ = 0;
  int reconnects_ = 0;
};

// Opens mailbox in session unless it is the open one, and checks that its
// UIDVALIDITY is still uidValidity; else its UIDs name other messages now, and
// ImapError (kRefused, errnum::kObjectGone) says so.
const MailboxState& OpenExpecting(Session& session, const std::string& mailbox,
                                  std::uint32_t uidValidity);

// Session::Fetch through conn: after a dropped connection the mailbox is opened
// again and only the messages not yet handed over are fetched, so onMessage sees
// each message once.
void FetchAll(Connector& conn, const std::string& mailbox, std::uint32_t uidValidity,
              const std::vector<std::uint32_t>& uids, unsigned parts,
              const Session::MessageSink& onMessage);

// New mail in one mailbox.
class NewMailWatch {
 public:
  NewMailWatch(Connector& conn, std::string mailbox) : conn_(conn), mailbox_(std::move(mailbox)) {}

  // The UIDs delivered since the previous call, waiting up to maxWait for the first.
  // The first call notes where the mailbox stands (its UIDNEXT) and waits from there.
  // A dropped connection is opened again, pausing as the Connector's policy says,
  // for as long as maxWait allows; a server that stays away makes the call return
  // nothing after maxWait, and the next call tries again. When the mailbox's
  // UIDVALIDITY changes the messages in it are not new mail: the watch starts over
  // from its UIDNEXT. Raises ImapError for what waiting will not mend (kSetup,
  // kRefused: a wrong password, a mailbox that is gone).
  std::vector<std::uint32_t> Wait(std::chrono::milliseconds maxWait);

  std::uint32_t uidValidity() const { return uidValidity_; }

 private:
  Connector& conn_;
  std::string mailbox_;
  std::uint32_t uidValidity_ = 0;
  std::uint32_t next_ = 0;
};

}  // namespace stow::imap
