#pragma once
// One connection to an IMAP server, over libetpan: TLS (implicit or STARTTLS) with
// the server's certificate checked, login, and the commands the store is built on.
//
// GUARANTEES
// - Every wait for the server is bounded by SessionOptions::timeout; an answer line
//   longer than maxLineBytes ends the connection. Either way the error names the
//   server and says what happened, so a silent or garbage-speaking server never
//   hangs the program.
// - The server must speak IMAP4rev1 and UIDPLUS, or Open refuses it: without UID
//   EXPUNGE, removing the old copy of a rewritten message would expunge every
//   message another client had marked \Deleted.
// - The password is sent only after the certificate was checked (or over loopback
//   plain text), and only in LOGIN.
// - Open makes the process ignore SIGPIPE: libetpan writes without MSG_NOSIGNAL,
//   and a server closing the connection under a write must give an error, not end
//   the program.
// - Folders are processed in batches: Fetch sends one UID FETCH per batch of UIDs
//   (SessionOptions::headerBatch / bodyBatch), whose answers stream back and are
//   handed over one message at a time; nothing costs one round trip per message.
//   (libetpan matches each tagged reply to the one command in flight, so batches
//   follow each other rather than overlap: ceil(n / batch) round trips in all.)
//
// ERRORS are ImapError (a ComError). kConnection: the connection is gone or
// unusable (dropped, timed out, garbage); the session raises it for every later
// call and a new one must be opened (Connector does). kRefused: the server said NO
// or BAD to a command; the session stays usable. kSetup: TLS, certificate, login or
// capabilities failed; trying again will not help.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/com_error.h"
#include "platform/imap/endpoint.h"

struct mailimap;
struct mailimap_msg_att;
struct mailimap_search_key;

namespace stow::imap {

struct SessionOptions {
  // PEM certificates trusted in addition to the system's store (a private CA).
  std::string caFile;
  // The longest wait for any answer (and for connecting); whole seconds.
  std::chrono::seconds timeout{30};
  // An answer line (or literal stretch) without a line break longer than this is
  // taken for garbage.
  std::size_t maxLineBytes = std::size_t{16} << 20;
  // UIDs per UID FETCH command.
  std::size_t headerBatch = 500;
  std::size_t bodyBatch = 100;
  // Use IDLE when the server offers it (else WaitForNewMail polls).
  bool useIdle = true;
  // How often WaitForNewMail asks the server when it does not IDLE.
  std::chrono::milliseconds pollInterval{60000};
};

class ImapError : public ComError {
 public:
  enum class Kind { kConnection, kRefused, kSetup };
  ImapError(Kind kind, std::int32_t number, std::string description)
      : ComError(number, "Stowbright", std::move(description)), kind_(kind) {}
  Kind kind() const { return kind_; }

 private:
  Kind kind_;
};

// An INTERNALDATE: the instant and the zone the server wrote it in, so that an
// APPEND gives back exactly the same date.
struct InternalDate {
  std::int64_t seconds = 0;  // since 1970-01-01T00:00:00Z
  int zoneMinutes = 0;       // east of UTC
  // "17-Jul-1996 02:44:25 -0700"
  std::string ToImap() const;
  bool operator==(const InternalDate&) const = default;
};

struct MailboxInfo {
  std::string name;                // as the server names it (modified UTF-7)
  std::string displayName;         // decoded to UTF-8
  char delimiter = 0;              // 0 when the server has no hierarchy
  std::vector<std::string> flags;  // "\\HasChildren", "\\Trash", ...
  bool selectable = true;
};

struct MailboxState {
  std::string name;
  std::uint32_t uidValidity = 0;
  std::uint32_t uidNext = 0;  // 0 when the server did not say
  std::uint32_t exists = 0;
  bool readOnly = false;
};

// What Fetch asks for besides UID, FLAGS, INTERNALDATE and RFC822.SIZE.
enum FetchParts : unsigned { kFetchSummary = 0, kFetchHeader = 1, kFetchBody = 2 };

struct FetchedMessage {
  std::uint32_t uid = 0;
  std::vector<std::string> flags;  // "\\Seen", "$Forwarded", ...; never \Recent
  InternalDate internalDate;
  std::uint64_t size = 0;  // RFC822.SIZE
  std::string header;      // BODY[HEADER], with kFetchHeader
  std::string message;     // BODY[], with kFetchBody
};

// text with every bare line feed made CR LF, as IMAP wants messages.
std::string ToCrlf(std::string_view text);

class Session {
 public:
  // Connects, secures, logs in and checks capabilities. Raises ImapError.
  static std::unique_ptr<Session> Open(const Endpoint& endpoint, const std::string& password,
                                       const SessionOptions& options = {});
  ~Session();  // logs out when the connection still works (bounded by the timeout)
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  const Endpoint& endpoint() const { return endpoint_; }
  const SessionOptions& options() const { return options_; }
  // Upper-case capability names ("IDLE", "UIDPLUS", "AUTH=PLAIN").
  const std::set<std::string>& capabilities() const { return capabilities_; }
  bool usable() const { return !broken_; }

  std::vector<MailboxInfo> List();
  // SELECT (read-write). mailbox is named as the server names it (MailboxInfo::name,
  // modified UTF-7). Raises kRefused when there is no such mailbox.
  const MailboxState& Select(const std::string& mailbox);
  // The selected mailbox, nullptr before the first Select.
  const MailboxState* selected() const { return selected_.name.empty() ? nullptr : &selected_; }

  // UID SEARCH in the selected mailbox, ascending.
  std::vector<std::uint32_t> SearchAll();
  std::vector<std::uint32_t> SearchHeader(const std::string& field, const std::string& value);
  // Messages of exactly this RFC822.SIZE.
  std::vector<std::uint32_t> SearchSize(std::uint64_t size);
  // UIDs from `from` on.
  std::vector<std::uint32_t> SearchFrom(std::uint32_t from);

  // Fetches the messages of uids in the selected mailbox, in batches, calling
  // onMessage once per message the server returned (in the server's order); a UID
  // that is not (or no longer) in the mailbox is skipped. An exception from
  // onMessage ends the connection (the batch cannot be stopped halfway otherwise)
  // and is raised again.
  using MessageSink = std::function<void(FetchedMessage&)>;
  void Fetch(const std::vector<std::uint32_t>& uids, unsigned parts, const MessageSink& onMessage);

  struct Appended {
    std::uint32_t uidValidity = 0;
    std::uint32_t uid = 0;
  };
  // APPEND with flags and INTERNALDATE; the UIDs come from the server's APPENDUID.
  // Bare line feeds in message are sent as CR LF.
  Appended Append(const std::string& mailbox, std::string_view message,
                  const std::vector<std::string>& flags, const InternalDate& date);
  // UID STORE uid FLAGS (flags): replaces the message's flags.
  void SetFlags(std::uint32_t uid, const std::vector<std::string>& flags);
  // UID STORE +FLAGS.SILENT (\Deleted), then with Expunge UID EXPUNGE: only these
  // messages go, whatever else is marked \Deleted.
  void MarkDeleted(const std::vector<std::uint32_t>& uids);
  void Expunge(const std::vector<std::uint32_t>& uids);
  // CREATE mailbox (named as the server names it).
  void Create(const std::string& mailbox);
  // Moves the messages of uids in the selected mailbox to mailbox: UID MOVE where
  // the server has it, else UID COPY, then \Deleted and UID EXPUNGE of these alone.
  void Move(const std::vector<std::uint32_t>& uids, const std::string& mailbox);
  void Noop();

  // Waits at most maxWait for messages with UID >= fromUid in the selected mailbox
  // (this program's own APPENDs included: a caller that rewrites mail skips the
  // UIDs Replacer::Replace returned):
  // through IDLE when the server has it (and options allow), else by NOOP every
  // pollInterval. Returns their UIDs, empty when none came in time.
  std::vector<std::uint32_t> WaitForNewMail(std::uint32_t fromUid,
                                            std::chrono::milliseconds maxWait);

  // IDLE for a message loop, without waiting in it. StartIdle sends IDLE in the
  // selected mailbox and returns the descriptor that turns readable when the server
  // has news for it (or closes); IdleBuffered says the news came with the server's
  // go-ahead and is already read. StopIdle sends DONE and reads the answers; no other
  // command may be sent in between. The server ends an IDLE left for 30 minutes:
  // renew it (StopIdle, StartIdle) sooner.
  bool CanIdle() const { return options_.useIdle && capabilities_.count("IDLE") > 0; }
  int StartIdle();
  bool IdleBuffered() const;
  void StopIdle();

  // Called while an APPEND uploads its message: bytes sent so far, and in all.
  std::function<void(std::size_t sent, std::size_t total)> onUpload;

  // --- for libetpan's callbacks ---
  void OnTraffic(int logType, const char* data, std::size_t size);
  void OnMessage(::mailimap_msg_att* att);
  void OnProgress(std::size_t current, std::size_t total);

 private:
  Session(const Endpoint& endpoint, const SessionOptions& options);
  void Connect(const std::string& password);
  void SecureAndCheck();
  void RefreshCapabilities();
  // Raises the ImapError for libetpan result r of `what`; kConnection marks the
  // session broken.
  [[noreturn]] void Fail(int r, const std::string& what);
  void Check(int r, const std::string& what) {
    if (r != 0) Fail(r, what);
  }
  void EnsureUsable(const std::string& what);
  // Whether the last failure came after a whole timeout without traffic.
  bool TimedOut() const;
  std::string TimeoutMessage(const std::string& what) const;
  std::vector<std::uint32_t> Search(::mailimap_search_key* key, const std::string& what);
  // UID STORE [+]FLAGS.SILENT.
  void Store(const std::vector<std::uint32_t>& uids, bool add,
             const std::vector<std::string>& flags, const std::string& what);

  Endpoint endpoint_;
  SessionOptions options_;
  mailimap* imap_ = nullptr;
  std::set<std::string> capabilities_;
  MailboxState selected_;
  bool broken_ = false;
  std::string brokenReason_;
  // The garbage guard: bytes received since the last line feed.
  std::size_t lineBytes_ = 0;
  bool lineTooLong_ = false;
  std::chrono::steady_clock::time_point lastTraffic_;
  // Ends the reads of a connection once one waited out the timeout (session.cc).
  struct ReadGuard;
  std::unique_ptr<ReadGuard> readGuard_;
  void GuardReads();
  // The Fetch in progress.
  struct Delivery;
  Delivery* delivery_ = nullptr;
  bool uploading_ = false;
  bool idling_ = false;
};

}  // namespace stow::imap
