#include "platform/imap/endpoint.h"

#include <arpa/inet.h>
#include <glib.h>

#include <cstdio>

#include "platform/com_error.h"

namespace stow::imap {

namespace {

// The URL as an error may show it: a password written into it is left out.
std::string Shown(const std::string& url) {
  std::size_t start = url.find("://");
  if (start == std::string::npos) return url;
  std::size_t at = url.rfind('@', url.find('/', start + 3));
  std::size_t colon = url.find(':', start + 3);
  if (at == std::string::npos || colon > at) return url;
  return url.substr(0, colon) + ":***" + url.substr(at);
}

[[noreturn]] void Bad(const std::string& url, const std::string& why) {
  Raise(errnum::kInvalidProcedureCall, "Stowbright",
        "\"" + Shown(url) +
            "\" is not an IMAP account (imaps://USER@HOST[:PORT]/ or imap://...): " + why);
}

std::string Take(gchar* s) {
  std::string out = s ? s : "";
  g_free(s);
  return out;
}

std::string Escape(const std::string& text, const char* keep) {
  gchar* e = g_uri_escape_string(text.c_str(), keep, FALSE);
  return Take(e);
}

}  // namespace

Endpoint Endpoint::Parse(const std::string& url) {
  // A login that is an address ("alice@example.com") is often written unencoded;
  // the host is after the last '@', so the earlier ones belong to the user.
  std::string text = url;
  std::size_t start = text.find("://");
  if (start != std::string::npos) {
    std::size_t end = text.find('/', start + 3);
    std::size_t last = text.rfind('@', end == std::string::npos ? text.size() : end);
    for (std::size_t at = text.find('@', start + 3); last != std::string::npos && at < last;
         at = text.find('@', at + 3)) {
      text.replace(at, 1, "%40");
      last += 2;
    }
  }
  gchar *scheme = nullptr, *user = nullptr, *password = nullptr, *host = nullptr, *path = nullptr,
        *query = nullptr, *fragment = nullptr;
  gint port = -1;
  GError* error = nullptr;
  bool split =
      g_uri_split_with_user(text.c_str(), G_URI_FLAGS_HAS_PASSWORD, &scheme, &user, &password,
                            nullptr, &host, &port, &path, &query, &fragment, &error);
  // GLib may have filled some parts before it failed.
  Endpoint ep;
  std::string schemeText = Take(scheme), pathText = Take(path);
  ep.user = Take(user);
  ep.host = Take(host);
  bool hasPassword = password != nullptr, extra = query || fragment;
  g_free(password);
  g_free(query);
  g_free(fragment);
  if (!split) {
    std::string why = error->message;
    g_error_free(error);
    Bad(url, why);
  }
  if (schemeText == "imaps") {
    ep.security = Security::kImplicitTls;
    ep.port = 993;
  } else if (schemeText == "imap") {
    ep.security = Security::kStartTls;
    ep.port = 143;
  } else {
    Bad(url, "the scheme must be imaps or imap");
  }
  if (hasPassword)
    Bad(url, "a password does not belong in the URL; use --password-command or ~/.netrc");
  if (ep.user.empty()) Bad(url, "the user name is missing");
  if (ep.host.empty()) Bad(url, "the host name is missing");
  if (port == 0) Bad(url, "port 0 is not a port");
  if (port > 0) ep.port = static_cast<std::uint16_t>(port);
  if ((!pathText.empty() && pathText != "/") || extra)
    Bad(url, "nothing may follow the host and port but \"/\"");
  return ep;
}

std::string Endpoint::Server() const {
  std::string h = host.find(':') != std::string::npos ? "[" + host + "]" : host;
  return h + ":" + std::to_string(port);
}

std::string Endpoint::Url() const {
  return std::string(security == Security::kImplicitTls ? "imaps://" : "imap://") +
         Escape(user, nullptr) + "@" + Server() + "/";
}

std::string Endpoint::FileKey() const {
  auto encode = [](const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
      if (g_ascii_isalnum(c) || c == '.' || c == '_' || c == '-') {
        out += static_cast<char>(c);
      } else {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%%%02X", c);
        out += hex;
      }
    }
    return out;
  };
  return encode(user) + "@" + encode(host) + "_" + std::to_string(port);
}

bool IsLoopbackHost(const std::string& host) {
  if (g_ascii_strcasecmp(host.c_str(), "localhost") == 0) return true;
  in_addr v4{};
  if (inet_pton(AF_INET, host.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
  in6_addr v6{};
  if (inet_pton(AF_INET6, host.c_str(), &v6) == 1) {
    if (IN6_IS_ADDR_LOOPBACK(&v6)) return true;
    // ::ffff:127.x.y.z
    return IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127;
  }
  return false;
}

}  // namespace stow::imap
