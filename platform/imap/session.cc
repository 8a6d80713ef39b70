#include "platform/imap/session.h"

#include <glib.h>
#include <libetpan/libetpan.h>
#include <poll.h>
#include <signal.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/imap/certificate.h"
#include "platform/maildir/maildir_names.h"

namespace stow::imap {

namespace {

using Clock = std::chrono::steady_clock;
using Kind = ImapError::Kind;

// libetpan writes with send() and no MSG_NOSIGNAL: a server that closes the
// connection under a write must give an error, not end the process.
void IgnoreSigpipe() {
  static std::once_flag once;
  std::call_once(once, [] { signal(SIGPIPE, SIG_IGN); });
}

Session* Of(void* context) {
  return static_cast<Session*>(context);
}

void Logger(mailimap*, int logType, const char* data, size_t size, void* context) {
  Of(context)->OnTraffic(logType, data, size);
}
void MessageHandler(struct mailimap_msg_att* att, void* context) {
  Of(context)->OnMessage(att);
}
void BodyProgress(size_t current, size_t maximum, void* context) {
  Of(context)->OnProgress(current, maximum);
}
void ItemsProgress(size_t, size_t, void*) {}

struct TlsSetup {
  std::string host;
};
void SetUpTls(struct mailstream_ssl_context* context, void* data) {
  const std::string& host = static_cast<TlsSetup*>(data)->host;
  // Server names go in SNI; addresses do not.
  if (host.find(':') == std::string::npos &&
      host.find_first_not_of("0123456789.") != std::string::npos)
    mailstream_ssl_set_server_name(context, const_cast<char*>(host.c_str()));
}

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

std::string FlagName(const mailimap_flag* f) {
  switch (f->fl_type) {
    case MAILIMAP_FLAG_ANSWERED:
      return "\\Answered";
    case MAILIMAP_FLAG_FLAGGED:
      return "\\Flagged";
    case MAILIMAP_FLAG_DELETED:
      return "\\Deleted";
    case MAILIMAP_FLAG_SEEN:
      return "\\Seen";
    case MAILIMAP_FLAG_DRAFT:
      return "\\Draft";
    case MAILIMAP_FLAG_KEYWORD:
      return f->fl_data.fl_keyword ? f->fl_data.fl_keyword : "";
    case MAILIMAP_FLAG_EXTENSION:
      return f->fl_data.fl_extension ? std::string("\\") + f->fl_data.fl_extension : "";
  }
  return "";
}

mailimap_flag* NewFlag(const std::string& name) {
  std::string lower = name;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (lower == "\\answered") return mailimap_flag_new_answered();
  if (lower == "\\flagged") return mailimap_flag_new_flagged();
  if (lower == "\\deleted") return mailimap_flag_new_deleted();
  if (lower == "\\seen") return mailimap_flag_new_seen();
  if (lower == "\\draft") return mailimap_flag_new_draft();
  if (!name.empty() && name[0] == '\\')
    return mailimap_flag_new_flag_extension(strdup(name.c_str() + 1));
  return mailimap_flag_new_flag_keyword(strdup(name.c_str()));
}

// \Recent belongs to the server and cannot be set by a client.
mailimap_flag_list* NewFlagList(const std::vector<std::string>& flags) {
  mailimap_flag_list* list = mailimap_flag_list_new_empty();
  for (const std::string& f : flags)
    if (!f.empty() && g_ascii_strcasecmp(f.c_str(), "\\Recent") != 0)
      mailimap_flag_list_add(list, NewFlag(f));
  return list;
}

// One set of UIDs, consecutive ones as ranges ("4:9,12").
mailimap_set* NewSet(std::vector<std::uint32_t> uids) {
  std::sort(uids.begin(), uids.end());
  uids.erase(std::unique(uids.begin(), uids.end()), uids.end());
  mailimap_set* set = mailimap_set_new_empty();
  for (std::size_t i = 0; i < uids.size();) {
    std::size_t j = i;
    while (j + 1 < uids.size() && uids[j + 1] == uids[j] + 1) ++j;
    mailimap_set_add_interval(set, uids[i], uids[j]);
    i = j + 1;
  }
  return set;
}

InternalDate FromImapDate(const mailimap_date_time* d) {
  using namespace std::chrono;
  int zone = std::abs(d->dt_zone);
  int zoneMinutes = (d->dt_zone < 0 ? -1 : 1) * ((zone / 100) * 60 + zone % 100);
  sys_days day = year{d->dt_year} / month{static_cast<unsigned>(d->dt_month)} /
                 std::chrono::day{static_cast<unsigned>(d->dt_day)};
  std::int64_t local =
      day.time_since_epoch().count() * 86400LL + d->dt_hour * 3600LL + d->dt_min * 60LL + d->dt_sec;
  return InternalDate{local - zoneMinutes * 60LL, zoneMinutes};
}

struct Civil {
  int year, month, day, hour, minute, second, zone;
};
Civil ToCivil(const InternalDate& date) {
  using namespace std::chrono;
  std::int64_t local = date.seconds + date.zoneMinutes * 60LL;
  std::int64_t days = local >= 0 ? local / 86400 : (local - 86399) / 86400;
  std::int64_t rest = local - days * 86400;
  year_month_day ymd{sys_days{std::chrono::days{days}}};
  int zone = std::abs(date.zoneMinutes);
  return {static_cast<int>(ymd.year()),
          static_cast<int>(static_cast<unsigned>(ymd.month())),
          static_cast<int>(static_cast<unsigned>(ymd.day())),
          static_cast<int>(rest / 3600),
          static_cast<int>(rest / 60 % 60),
          static_cast<int>(rest % 60),
          (date.zoneMinutes < 0 ? -1 : 1) * ((zone / 60) * 100 + zone % 60)};
}

}  // namespace

std::string ToCrlf(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 40);
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) out += '\r';
    out += text[i];
  }
  return out;
}

std::string InternalDate::ToImap() const {
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  Civil c = ToCivil(*this);
  char text[40];
  std::snprintf(text, sizeof text, "%02d-%s-%04d %02d:%02d:%02d %c%04d", c.day,
                kMonths[c.month - 1], c.year, c.hour, c.minute, c.second, c.zone < 0 ? '-' : '+',
                std::abs(c.zone));
  return text;
}

struct Session::Delivery {
  std::vector<std::uint32_t> wanted;  // sorted
  unsigned parts = 0;
  const MessageSink* sink = nullptr;
  std::vector<std::uint32_t> delivered;
  std::exception_ptr error;
};

Session::Session(const Endpoint& endpoint, const SessionOptions& options)
    : endpoint_(endpoint), options_(options) {}

// libetpan's parser tries the alternatives of its grammar one after another, each
// reading on where the answer stopped: a server silent in the middle of an answer
// (within a literal) would cost one whole timeout per alternative, minutes in all.
// The guard sits in the stream's driver: once a read waited out the timeout, every
// later read of the connection fails at once.
struct Session::ReadGuard {
  mailstream_low_driver driver;  // first: the stream's driver pointer leads to the guard
  mailstream_low_driver* original;
  std::chrono::seconds timeout;
  bool timedOut = false;

  static ssize_t Read(mailstream_low* low, void* buffer, size_t count) {
    auto* guard = reinterpret_cast<ReadGuard*>(low->driver);
    if (guard->timedOut) return -1;
    Clock::time_point start = Clock::now();
    ssize_t n = guard->original->mailstream_read(low, buffer, count);
    if (n <= 0 && Clock::now() - start >= guard->timeout - std::chrono::milliseconds(500))
      guard->timedOut = true;
    return n;
  }
};

void Session::GuardReads() {
  mailstream_low* low = imap_->imap_stream ? mailstream_get_low(imap_->imap_stream) : nullptr;
  if (!low || (readGuard_ && low->driver == &readGuard_->driver)) return;
  auto guard = std::make_unique<ReadGuard>(ReadGuard{*low->driver, low->driver, options_.timeout});
  guard->driver.mailstream_read = ReadGuard::Read;
  low->driver = &guard->driver;
  readGuard_ = std::move(guard);  // the one before went with its stream (STARTTLS)
}

Session::~Session() {
  if (!imap_) return;
  if (idling_ && !broken_) try {
      StopIdle();  // LOGOUT inside IDLE would be taken for a bad DONE
    } catch (const ImapError&) {
    }
  // mailimap_free logs out first, which on a dead connection means one more wait
  // for the timeout: such a connection is just closed.
  if (broken_ && imap_->imap_stream) {
    mailstream_close(imap_->imap_stream);
    imap_->imap_stream = nullptr;
  }
  mailimap_free(imap_);
}

std::unique_ptr<Session> Session::Open(const Endpoint& endpoint, const std::string& password,
                                       const SessionOptions& options) {
  std::unique_ptr<Session> session(new Session(endpoint, options));
  session->Connect(password);
  return session;
}

void Session::Connect(const std::string& password) {
  IgnoreSigpipe();
  const std::string server = "The IMAP server " + endpoint_.Server();
  imap_ = mailimap_new(0, nullptr);
  if (!imap_) throw ImapError(Kind::kConnection, errnum::kFail, "Out of memory");
  mailimap_set_timeout(imap_, std::max<time_t>(1, options_.timeout.count()));
  mailimap_set_logger(imap_, Logger, this);
  mailimap_set_progress_callback(imap_, BodyProgress, ItemsProgress, this);
  mailimap_set_msg_att_handler(imap_, MessageHandler, this);
  lastTraffic_ = Clock::now();
  TlsSetup tls{endpoint_.host};
  bool implicit = endpoint_.security == Security::kImplicitTls;
  int r = implicit ? mailimap_ssl_connect_with_callback(imap_, endpoint_.host.c_str(),
                                                        endpoint_.port, SetUpTls, &tls)
                   : mailimap_socket_connect(imap_, endpoint_.host.c_str(), endpoint_.port);
  if (r != MAILIMAP_NO_ERROR_AUTHENTICATED && r != MAILIMAP_NO_ERROR_NON_AUTHENTICATED)
    Fail(r, "connecting");
  bool preauth = r == MAILIMAP_NO_ERROR_AUTHENTICATED;
  GuardReads();
  if (implicit) SecureAndCheck();
  RefreshCapabilities();
  if (!implicit) {
    bool loopback = IsLoopbackHost(endpoint_.host);
    if (capabilities_.count("STARTTLS") && !preauth) {
      Check(mailimap_socket_starttls_with_callback(imap_, SetUpTls, &tls), "STARTTLS");
      GuardReads();
      SecureAndCheck();
      RefreshCapabilities();
    } else if (!loopback) {
      broken_ = true;
      throw ImapError(Kind::kSetup, errnum::kAccessDenied,
                      server +
                          (preauth ? " logged in before TLS could be started (PREAUTH)"
                                   : " does not offer STARTTLS") +
                          ", and mail is not sent in plain text over the network: use imaps:// "
                          "(TLS) if the server has it");
    }
  }
  if (!capabilities_.count("IMAP4REV1")) {
    broken_ = true;
    throw ImapError(Kind::kSetup, errnum::kFail, server + " does not speak IMAP4rev1");
  }
  if (!preauth) {
    if (capabilities_.count("LOGINDISABLED")) {
      broken_ = true;
      throw ImapError(Kind::kSetup, errnum::kAccessDenied,
                      server + " does not accept a password on this connection (LOGINDISABLED)");
    }
    r = mailimap_login(imap_, endpoint_.user.c_str(), password.c_str());
    if (r == MAILIMAP_ERROR_LOGIN) {
      std::string said = imap_->imap_response ? imap_->imap_response : "";
      throw ImapError(
          Kind::kSetup, errnum::kAccessDenied,
          server + " refused the login of " + endpoint_.user + (said.empty() ? "" : ": " + said));
    }
    Check(r, "LOGIN");
    RefreshCapabilities();
  }
  if (!capabilities_.count("UIDPLUS")) {
    broken_ = true;
    throw ImapError(Kind::kSetup, errnum::kFail,
                    server +
                        " does not support UIDPLUS (RFC 4315, UID EXPUNGE), which Stowbright "
                        "needs to remove exactly the messages it rewrote: a plain EXPUNGE "
                        "would also remove the messages other mail programs marked as "
                        "deleted");
  }
}

void Session::SecureAndCheck() {
  std::vector<std::string> der;
  if (carray* chain = mailstream_get_certificate_chain(imap_->imap_stream)) {
    for (unsigned i = 0; i < carray_count(chain); ++i) {
      auto* s = static_cast<MMAPString*>(carray_get(chain, i));
      der.emplace_back(s->str, s->len);
    }
    mailstream_certificate_chain_free(chain);
  }
  std::string problem;
  try {
    problem = CertificateProblem(der, endpoint_.host, options_.caFile);
  } catch (const ComError& e) {
    broken_ = true;
    throw ImapError(Kind::kSetup, e.Number(), e.Description());
  }
  if (!problem.empty()) {
    broken_ = true;
    throw ImapError(
        Kind::kSetup, errnum::kAccessDenied,
        "The certificate of the IMAP server " + endpoint_.Server() + " is not trusted: " + problem +
            (options_.caFile.empty() ? " (a server with a private CA needs --ca-file)" : ""));
  }
}

void Session::RefreshCapabilities() {
  mailimap_capability_data* data = nullptr;
  Check(mailimap_capability(imap_, &data), "CAPABILITY");
  capabilities_.clear();
  for (clistiter* it = clist_begin(data->cap_list); it; it = clist_next(it)) {
    auto* cap = static_cast<struct mailimap_capability*>(clist_content(it));
    if (cap->cap_type == MAILIMAP_CAPABILITY_AUTH_TYPE && cap->cap_data.cap_auth_type)
      capabilities_.insert("AUTH=" + Upper(cap->cap_data.cap_auth_type));
    else if (cap->cap_type == MAILIMAP_CAPABILITY_NAME && cap->cap_data.cap_name)
      capabilities_.insert(Upper(cap->cap_data.cap_name));
  }
  mailimap_capability_data_free(data);
}

void Session::Fail(int r, const std::string& what) {
  const std::string server = "The IMAP server " + endpoint_.Server();
  std::string said = imap_ && imap_->imap_response ? imap_->imap_response : "";
  std::string whileDoing = " (" + what + ")";
  Kind kind = Kind::kConnection;
  std::string message;
  switch (r) {
    case MAILIMAP_ERROR_CONNECTION_REFUSED:
      message = "Cannot connect to the IMAP server " + endpoint_.Server();
      break;
    case MAILIMAP_ERROR_SSL:
      if (!TimedOut()) {
        kind = Kind::kSetup;
        message = "No TLS connection could be made with the IMAP server " + endpoint_.Server() +
                  " (is it " +
                  (endpoint_.security == Security::kImplicitTls ? "imap://" : "imaps://") +
                  " or another port?)";
        break;
      }
      message = TimeoutMessage(what);
      break;
    case MAILIMAP_ERROR_BAD_STATE:
      kind = Kind::kRefused;
      message =
          "Cannot " + what + " on the IMAP server " + endpoint_.Server() + ": no folder is open";
      break;
    case MAILIMAP_ERROR_STREAM:
      if (lineTooLong_) {
        message = server + " sent an answer line longer than " +
                  std::to_string(options_.maxLineBytes) + " bytes, which is not IMAP" + whileDoing;
      } else if (TimedOut()) {
        message = TimeoutMessage(what);
      } else {
        message = server + " closed the connection" + whileDoing;
      }
      break;
    case MAILIMAP_ERROR_PARSE:
      // The parser gives up on an answer cut short by a timeout as on garbage.
      message = readGuard_ && readGuard_->timedOut
                    ? TimeoutMessage(what)
                    : server + " sent an answer that is not IMAP" + whileDoing;
      break;
    case MAILIMAP_ERROR_FATAL:
    case MAILIMAP_ERROR_DONT_ACCEPT_CONNECTION:
      message = server + " ended the session" + whileDoing + (said.empty() ? "" : ": " + said);
      break;
    case MAILIMAP_ERROR_PROTOCOL:
      // A BAD answer, or a reply to a command that was not sent: what the server
      // thinks is going on is unknown, so the connection is not used again.
      kind = Kind::kRefused;
      broken_ = true;
      brokenReason_ = "it answered BAD";
      message =
          server + " rejected " + what + " as a bad command" + (said.empty() ? "" : ": " + said);
      break;
    case MAILIMAP_ERROR_MEMORY:
      message = "Out of memory talking to the IMAP server " + endpoint_.Server();
      break;
    default:
      kind = Kind::kRefused;
      message = server + " refused " + what + (said.empty() ? "" : ": " + said);
      break;
  }
  if (kind != Kind::kRefused) {
    broken_ = true;
    brokenReason_ = message;
  }
  throw ImapError(kind, errnum::kFail, message);
}

bool Session::TimedOut() const {
  return Clock::now() - lastTraffic_ >= options_.timeout - std::chrono::milliseconds(500);
}

std::string Session::TimeoutMessage(const std::string& what) const {
  long seconds = static_cast<long>(options_.timeout.count());
  return "The IMAP server " + endpoint_.Server() + " did not answer within " +
         std::to_string(seconds) + (seconds == 1 ? " second" : " seconds") + " (" + what + ")";
}

void Session::EnsureUsable(const std::string& what) {
  if (broken_)
    throw ImapError(Kind::kConnection, errnum::kFail,
                    "The connection to the IMAP server " + endpoint_.Server() + " is lost (" +
                        brokenReason_ + "); cannot " + what);
}

void Session::OnTraffic(int logType, const char* data, std::size_t size) {
  if (logType == MAILSTREAM_LOG_TYPE_DATA_RECEIVED) {
    lastTraffic_ = Clock::now();
    const void* lf = memrchr(data, '\n', size);
    lineBytes_ = lf ? data + size - static_cast<const char*>(lf) - 1 : lineBytes_ + size;
    if (lineBytes_ > options_.maxLineBytes && !lineTooLong_) {
      lineTooLong_ = true;
      mailstream_cancel(imap_->imap_stream);
    }
  } else if (logType == MAILSTREAM_LOG_TYPE_DATA_SENT ||
             logType == MAILSTREAM_LOG_TYPE_DATA_SENT_PRIVATE) {
    lastTraffic_ = Clock::now();
  }
}

void Session::OnProgress(std::size_t current, std::size_t total) {
  if (uploading_ && onUpload) onUpload(current, total);
}

void Session::OnMessage(::mailimap_msg_att* att) {
  Delivery* d = delivery_;
  if (!d || d->error) return;  // an unsolicited FETCH (flags changed elsewhere)
  FetchedMessage m;
  bool hasHeader = false, hasBody = false;
  for (clistiter* it = clist_begin(att->att_list); it; it = clist_next(it)) {
    auto* item = static_cast<mailimap_msg_att_item*>(clist_content(it));
    if (item->att_type == MAILIMAP_MSG_ATT_ITEM_DYNAMIC && item->att_data.att_dyn &&
        item->att_data.att_dyn->att_list) {
      for (clistiter* f = clist_begin(item->att_data.att_dyn->att_list); f; f = clist_next(f)) {
        auto* flag = static_cast<mailimap_flag_fetch*>(clist_content(f));
        if (flag->fl_type == MAILIMAP_FLAG_FETCH_OTHER && flag->fl_flag) {
          std::string name = FlagName(flag->fl_flag);
          if (!name.empty()) m.flags.push_back(name);
        }
      }
      continue;
    }
    if (item->att_type != MAILIMAP_MSG_ATT_ITEM_STATIC || !item->att_data.att_static) continue;
    mailimap_msg_att_static* s = item->att_data.att_static;
    switch (s->att_type) {
      case MAILIMAP_MSG_ATT_UID:
        m.uid = s->att_data.att_uid;
        break;
      case MAILIMAP_MSG_ATT_RFC822_SIZE:
        m.size = s->att_data.att_rfc822_size;
        break;
      case MAILIMAP_MSG_ATT_INTERNALDATE:
        if (s->att_data.att_internal_date)
          m.internalDate = FromImapDate(s->att_data.att_internal_date);
        break;
      case MAILIMAP_MSG_ATT_BODY_SECTION: {
        mailimap_msg_att_body_section* b = s->att_data.att_body_section;
        if (!b) break;
        std::string bytes = b->sec_body_part ? std::string(b->sec_body_part, b->sec_length) : "";
        mailimap_section_spec* section = b->sec_section ? b->sec_section->sec_spec : nullptr;
        if (!section) {
          m.message = std::move(bytes);
          hasBody = true;
        } else if (section->sec_type == MAILIMAP_SECTION_SPEC_SECTION_MSGTEXT &&
                   section->sec_data.sec_msgtext &&
                   section->sec_data.sec_msgtext->sec_type == MAILIMAP_SECTION_MSGTEXT_HEADER) {
          m.header = std::move(bytes);
          hasHeader = true;
        }
        break;
      }
      default:
        break;
    }
  }
  // Only the messages asked for, with what was asked for, and each once: a FETCH
  // about flags another client changed may come in the middle of the answer.
  if (!std::binary_search(d->wanted.begin(), d->wanted.end(), m.uid)) return;
  if (((d->parts & kFetchHeader) && !hasHeader) || ((d->parts & kFetchBody) && !hasBody)) return;
  if (std::find(d->delivered.begin(), d->delivered.end(), m.uid) != d->delivered.end()) return;
  d->delivered.push_back(m.uid);
  try {
    (*d->sink)(m);
  } catch (...) {
    d->error = std::current_exception();
    mailstream_cancel(imap_->imap_stream);
  }
}

std::vector<MailboxInfo> Session::List() {
  EnsureUsable("list the folders");
  clist* result = nullptr;
  Check(mailimap_list(imap_, "", "*", &result), "LIST");
  std::vector<MailboxInfo> out;
  for (clistiter* it = clist_begin(result); it; it = clist_next(it)) {
    auto* mb = static_cast<mailimap_mailbox_list*>(clist_content(it));
    MailboxInfo info;
    info.name = mb->mb_name ? mb->mb_name : "";
    info.displayName = maildir::DecodeModifiedUtf7(info.name);
    info.delimiter = mb->mb_delimiter;
    if (mailimap_mbx_list_flags* flags = mb->mb_flag) {
      if (flags->mbf_type == MAILIMAP_MBX_LIST_FLAGS_SFLAG) {
        switch (flags->mbf_sflag) {
          case MAILIMAP_MBX_LIST_SFLAG_MARKED:
            info.flags.push_back("\\Marked");
            break;
          case MAILIMAP_MBX_LIST_SFLAG_UNMARKED:
            info.flags.push_back("\\Unmarked");
            break;
          case MAILIMAP_MBX_LIST_SFLAG_NOSELECT:
            info.flags.push_back("\\Noselect");
            break;
          default:
            break;
        }
      }
      for (clistiter* f = clist_begin(flags->mbf_oflags); f; f = clist_next(f)) {
        auto* o = static_cast<mailimap_mbx_list_oflag*>(clist_content(f));
        if (o->of_type == MAILIMAP_MBX_LIST_OFLAG_NOINFERIORS)
          info.flags.push_back("\\Noinferiors");
        else if (o->of_type == MAILIMAP_MBX_LIST_OFLAG_FLAG_EXT && o->of_flag_ext)
          info.flags.push_back(std::string("\\") + o->of_flag_ext);
      }
    }
    for (const std::string& f : info.flags)
      if (g_ascii_strcasecmp(f.c_str(), "\\Noselect") == 0 ||
          g_ascii_strcasecmp(f.c_str(), "\\NonExistent") == 0)
        info.selectable = false;
    out.push_back(std::move(info));
  }
  mailimap_list_result_free(result);
  return out;
}

const MailboxState& Session::Select(const std::string& mailbox) {
  EnsureUsable("open the folder \"" + mailbox + "\"");
  selected_ = MailboxState{};
  Check(mailimap_select(imap_, mailbox.c_str()), "SELECT \"" + mailbox + "\"");
  const mailimap_selection_info* info = imap_->imap_selection_info;
  selected_.name = mailbox;
  if (info) {
    selected_.uidValidity = info->sel_uidvalidity;
    selected_.uidNext = info->sel_uidnext;
    selected_.exists = info->sel_exists;
    selected_.readOnly = info->sel_perm == MAILIMAP_MAILBOX_READONLY;
  }
  return selected_;
}

std::vector<std::uint32_t> Session::Search(mailimap_search_key* key, const std::string& what) {
  clist* result = nullptr;
  int r = mailimap_uid_search(imap_, nullptr, key, &result);
  mailimap_search_key_free(key);
  Check(r, what);
  std::vector<std::uint32_t> uids;
  for (clistiter* it = clist_begin(result); it; it = clist_next(it))
    uids.push_back(*static_cast<std::uint32_t*>(clist_content(it)));
  mailimap_search_result_free(result);
  std::sort(uids.begin(), uids.end());
  return uids;
}

std::vector<std::uint32_t> Session::SearchAll() {
  EnsureUsable("search");
  return Search(mailimap_search_key_new_all(), "UID SEARCH ALL");
}

std::vector<std::uint32_t> Session::SearchHeader(const std::string& field,
                                                 const std::string& value) {
  EnsureUsable("search");
  return Search(mailimap_search_key_new_header(strdup(field.c_str()), strdup(value.c_str())),
                "UID SEARCH HEADER " + field);
}

std::vector<std::uint32_t> Session::SearchSize(std::uint64_t size) {
  EnsureUsable("search");
  if (size >= UINT32_MAX) return {};
  mailimap_search_key* key = mailimap_search_key_new_multiple_empty();
  if (size > 0) mailimap_search_key_multiple_add(key, mailimap_search_key_new_larger(size - 1));
  mailimap_search_key_multiple_add(key, mailimap_search_key_new_smaller(size + 1));
  return Search(key, "UID SEARCH LARGER/SMALLER");
}

std::vector<std::uint32_t> Session::SearchFrom(std::uint32_t from) {
  EnsureUsable("search");
  // "n:*" also matches the last message when every UID is below n.
  std::vector<std::uint32_t> uids =
      Search(mailimap_search_key_new_uid(mailimap_set_new_interval(std::max(from, 1u), 0)),
             "UID SEARCH UID");
  uids.erase(std::remove_if(uids.begin(), uids.end(), [&](std::uint32_t u) { return u < from; }),
             uids.end());
  return uids;
}

void Session::Fetch(const std::vector<std::uint32_t>& uids, unsigned parts,
                    const MessageSink& onMessage) {
  EnsureUsable("fetch messages");
  std::size_t batch =
      std::max<std::size_t>(1, (parts & kFetchBody) ? options_.bodyBatch : options_.headerBatch);
  for (std::size_t first = 0; first < uids.size(); first += batch) {
    Delivery d;
    d.wanted.assign(uids.begin() + first, uids.begin() + std::min(uids.size(), first + batch));
    std::sort(d.wanted.begin(), d.wanted.end());
    d.parts = parts;
    d.sink = &onMessage;
    mailimap_set* set = NewSet(d.wanted);
    mailimap_fetch_type* type = mailimap_fetch_type_new_fetch_att_list_empty();
    mailimap_fetch_type_new_fetch_att_list_add(type, mailimap_fetch_att_new_uid());
    mailimap_fetch_type_new_fetch_att_list_add(type, mailimap_fetch_att_new_flags());
    mailimap_fetch_type_new_fetch_att_list_add(type, mailimap_fetch_att_new_internaldate());
    mailimap_fetch_type_new_fetch_att_list_add(type, mailimap_fetch_att_new_rfc822_size());
    if (parts & kFetchHeader)
      mailimap_fetch_type_new_fetch_att_list_add(
          type, mailimap_fetch_att_new_body_peek_section(mailimap_section_new_header()));
    if (parts & kFetchBody)
      mailimap_fetch_type_new_fetch_att_list_add(
          type, mailimap_fetch_att_new_body_peek_section(mailimap_section_new(nullptr)));
    clist* result = nullptr;
    delivery_ = &d;
    int r = mailimap_uid_fetch(imap_, set, type, &result);
    delivery_ = nullptr;
    if (r == MAILIMAP_NO_ERROR && result) mailimap_fetch_list_free(result);
    mailimap_fetch_type_free(type);
    mailimap_set_free(set);
    if (d.error) {
      broken_ = true;
      brokenReason_ = "a fetch was stopped halfway";
      std::rethrow_exception(d.error);
    }
    Check(r, "UID FETCH");
  }
}

Session::Appended Session::Append(const std::string& mailbox, std::string_view message,
                                  const std::vector<std::string>& flags, const InternalDate& date) {
  EnsureUsable("add a message to \"" + mailbox + "\"");
  std::string bytes = ToCrlf(message);
  mailimap_flag_list* flagList = NewFlagList(flags);
  Civil c = ToCivil(date);
  mailimap_date_time* when =
      mailimap_date_time_new(c.day, c.month, c.year, c.hour, c.minute, c.second, c.zone);
  std::uint32_t uidValidity = 0, uid = 0;
  uploading_ = true;
  int r = mailimap_uidplus_append(imap_, mailbox.c_str(), flagList, when, bytes.data(),
                                  bytes.size(), &uidValidity, &uid);
  uploading_ = false;
  mailimap_flag_list_free(flagList);
  mailimap_date_time_free(when);
  Check(r, "APPEND to \"" + mailbox + "\"");
  if (uid == 0)
    throw ImapError(Kind::kRefused, errnum::kFail,
                    "The IMAP server " + endpoint_.Server() +
                        " did not say which UID it gave the message added to \"" + mailbox +
                        "\" (no APPENDUID)");
  return {uidValidity, uid};
}

void Session::Store(const std::vector<std::uint32_t>& uids, bool add,
                    const std::vector<std::string>& flags, const std::string& what) {
  EnsureUsable(what);
  if (uids.empty()) return;
  mailimap_set* set = NewSet(uids);
  mailimap_store_att_flags* att =
      add ? mailimap_store_att_flags_new_add_flags_silent(NewFlagList(flags))
          : mailimap_store_att_flags_new_set_flags_silent(NewFlagList(flags));
  int r = mailimap_uid_store(imap_, set, att);
  mailimap_store_att_flags_free(att);
  mailimap_set_free(set);
  Check(r, what);
}

void Session::SetFlags(std::uint32_t uid, const std::vector<std::string>& flags) {
  Store({uid}, false, flags, "UID STORE FLAGS");
}

void Session::MarkDeleted(const std::vector<std::uint32_t>& uids) {
  Store(uids, true, {"\\Deleted"}, "UID STORE +FLAGS (\\Deleted)");
}

void Session::Expunge(const std::vector<std::uint32_t>& uids) {
  EnsureUsable("expunge messages");
  if (uids.empty()) return;
  mailimap_set* set = NewSet(uids);
  int r = mailimap_uid_expunge(imap_, set);
  mailimap_set_free(set);
  Check(r, "UID EXPUNGE");
}

void Session::Create(const std::string& mailbox) {
  EnsureUsable("make the folder \"" + mailbox + "\"");
  Check(mailimap_create(imap_, mailbox.c_str()), "CREATE \"" + mailbox + "\"");
}

void Session::Move(const std::vector<std::uint32_t>& uids, const std::string& mailbox) {
  EnsureUsable("move messages to \"" + mailbox + "\"");
  if (uids.empty()) return;
  mailimap_set* set = NewSet(uids);
  bool move = capabilities_.count("MOVE") > 0;
  int r = move ? mailimap_uid_move(imap_, set, mailbox.c_str())
               : mailimap_uid_copy(imap_, set, mailbox.c_str());
  mailimap_set_free(set);
  Check(r, std::string(move ? "UID MOVE" : "UID COPY") + " to \"" + mailbox + "\"");
  if (move) return;
  MarkDeleted(uids);
  Expunge(uids);
}

void Session::Noop() {
  EnsureUsable("ask for news");
  Check(mailimap_noop(imap_), "NOOP");
}

std::vector<std::uint32_t> Session::WaitForNewMail(std::uint32_t fromUid,
                                                   std::chrono::milliseconds maxWait) {
  EnsureUsable("wait for new mail");
  if (!selected())
    throw ImapError(Kind::kRefused, errnum::kFail, "No folder is open to wait for new mail in");
  const Clock::time_point deadline = Clock::now() + maxWait;
  const bool idle = options_.useIdle && capabilities_.count("IDLE");
  for (;;) {
    std::vector<std::uint32_t> found = SearchFrom(fromUid);
    auto remaining = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (!found.empty() || remaining.count() <= 0) return found;
    if (!idle) {
      std::this_thread::sleep_for(std::min(remaining, options_.pollInterval));
      Noop();
      continue;
    }
    // IDLE must be renewed within 29 minutes; the loop renews it.
    remaining = std::min<std::chrono::milliseconds>(remaining, std::chrono::minutes(25));
    int fd = StartIdle();
    if (!IdleBuffered()) {
      pollfd p{fd, POLLIN, 0};
      poll(&p, 1, static_cast<int>(remaining.count()));
    }
    StopIdle();
  }
}

int Session::StartIdle() {
  EnsureUsable("wait for new mail");
  if (!selected())
    throw ImapError(Kind::kRefused, errnum::kFail, "No folder is open to wait for new mail in");
  Check(mailimap_idle(imap_), "IDLE");
  idling_ = true;
  return mailimap_idle_get_fd(imap_);
}

bool Session::IdleBuffered() const {
  return idling_ && imap_->imap_stream && imap_->imap_stream->read_buffer_len > 0;
}

void Session::StopIdle() {
  if (!idling_) return;
  idling_ = false;
  EnsureUsable("end waiting for new mail");
  // The wait in IDLE is no silence of the server's: the timeout counts from now.
  lastTraffic_ = Clock::now();
  Check(mailimap_idle_done(imap_), "IDLE");
}

}  // namespace stow::imap
