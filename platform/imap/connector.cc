#include "platform/imap/connector.h"

#include <algorithm>
#include <set>
#include <thread>

namespace stow::imap {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

Connector::Connector(Endpoint endpoint, std::string password, SessionOptions options,
                     RetryPolicy retry)
    : endpoint_(std::move(endpoint)),
      password_(std::move(password)),
      options_(std::move(options)),
      retry_(retry) {}

Connector::~Connector() {
  session_.reset();
  volatile char* p = password_.data();
  for (std::size_t i = 0; i < password_.size(); ++i) p[i] = 0;
}

Session& Connector::Get() {
  if (session_ && !session_->usable()) session_.reset();
  if (!session_) {
    if (away_ && Clock::now() < retryAt_) throw *away_;
    session_ = Session::Open(endpoint_, password_, options_);
    away_.reset();
    if (opened_++ > 0) ++reconnects_;
  }
  return *session_;
}

void Connector::GiveUp(const ImapError& why) {
  Drop();
  // A failure without a try (the pause after the last one not over) leaves the
  // next try where it was.
  if (away_ && Clock::now() < retryAt_) return;
  away_ = why;
  retryAt_ = Clock::now() + retry_.maxDelay;
}

void Connector::Drop() {
  session_.reset();
}

std::unique_ptr<Connector> Connector::Twin() const {
  auto twin = std::make_unique<Connector>(endpoint_, password_, options_, retry_);
  twin->onNotice = onNotice;
  return twin;
}

milliseconds Connector::Delay(int attempt) const {
  milliseconds delay = retry_.firstDelay;
  for (int i = 1; i < attempt && delay < retry_.maxDelay; ++i) delay *= 2;
  return std::min(delay, retry_.maxDelay);
}

milliseconds Connector::Pause(int attempt, const std::string& why, milliseconds atMost) {
  milliseconds delay = std::min(Delay(attempt), atMost);
  if (onNotice) onNotice(why + "; trying again in " + std::to_string(delay.count()) + " ms");
  std::this_thread::sleep_for(delay);
  return delay;
}

const MailboxState& OpenExpecting(Session& session, const std::string& mailbox,
                                  std::uint32_t uidValidity) {
  const MailboxState* state = session.selected();
  if (!state || state->name != mailbox) state = &session.Select(mailbox);
  if (state->uidValidity != uidValidity)
    throw ImapError(ImapError::Kind::kRefused, errnum::kObjectGone,
                    "The folder \"" + mailbox + "\" on the IMAP server " +
                        session.endpoint().Server() + " was renumbered (UIDVALIDITY " +
                        std::to_string(uidValidity) + " is now " +
                        std::to_string(state->uidValidity) + "): it must be read again");
  return *state;
}

void FetchAll(Connector& conn, const std::string& mailbox, std::uint32_t uidValidity,
              const std::vector<std::uint32_t>& uids, unsigned parts,
              const Session::MessageSink& onMessage) {
  std::set<std::uint32_t> done;
  conn.Run([&](Session& session) {
    OpenExpecting(session, mailbox, uidValidity);
    std::vector<std::uint32_t> rest;
    for (std::uint32_t uid : uids)
      if (!done.count(uid)) rest.push_back(uid);
    session.Fetch(rest, parts, [&](FetchedMessage& m) {
      onMessage(m);
      done.insert(m.uid);
    });
  });
}

std::vector<std::uint32_t> NewMailWatch::Wait(milliseconds maxWait) {
  const Clock::time_point deadline = Clock::now() + maxWait;
  for (int attempt = 1;; ++attempt) {
    auto remaining = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
    try {
      Session& session = conn_.Get();
      const MailboxState* state = session.selected();
      if (!state || state->name != mailbox_) state = &session.Select(mailbox_);
      if (state->uidValidity != uidValidity_ || next_ == 0) {
        uidValidity_ = state->uidValidity;
        next_ = state->uidNext;
        if (next_ == 0) {
          std::vector<std::uint32_t> all = session.SearchAll();
          next_ = all.empty() ? 1 : all.back() + 1;
        }
      }
      std::vector<std::uint32_t> found =
          session.WaitForNewMail(next_, std::max(remaining, milliseconds(0)));
      if (!found.empty()) next_ = found.back() + 1;
      return found;
    } catch (const ImapError& e) {
      if (e.kind() != ImapError::Kind::kConnection) throw;
      conn_.Drop();
      remaining = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
      if (remaining.count() <= 0) return {};
      conn_.Pause(attempt, e.Description(), remaining);
    }
  }
}

}  // namespace stow::imap
