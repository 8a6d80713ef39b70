#pragma once
// Where an IMAP account lives, as the user names it:
//   imaps://USER@HOST[:PORT]/  TLS from the first byte (port 993 by default)
//   imap://USER@HOST[:PORT]/   STARTTLS (port 143 by default); plain text only when
//                              HOST is a loopback address and the server offers no
//                              STARTTLS
// USER may be percent-encoded ("alice%40example.com"); an unencoded '@' in it is
// taken as part of the user (the host follows the last '@'). An IPv6 host is written
// in brackets. A password in the URL is refused: it would end up in shell histories
// and process lists.

#include <cstdint>
#include <string>

namespace stow::imap {

enum class Security { kImplicitTls, kStartTls };

struct Endpoint {
  Security security = Security::kImplicitTls;
  std::string user;  // decoded
  std::string host;  // without brackets
  std::uint16_t port = 993;

  // Raises ComError (errnum::kInvalidProcedureCall) saying what is wrong with url.
  static Endpoint Parse(const std::string& url);
  // "host:port" ("[::1]:993"): how errors name the server.
  std::string Server() const;
  // "imaps://user@host:port/", the user percent-encoded.
  std::string Url() const;
  // "USER@HOST_PORT", user and host with every byte outside [A-Za-z0-9._-]
  // percent-encoded: a file name that keeps accounts apart.
  std::string FileKey() const;
};

// 127.0.0.0/8, ::1 and the name "localhost": traffic to them never leaves the
// machine. Other names are not looked up, since a name can resolve anywhere.
bool IsLoopbackHost(const std::string& host);

}  // namespace stow::imap
