#pragma once
// The one MIME message builder of the tests, and delivery into a Maildir as a mail
// delivery agent does it.

#include <glib.h>

#include <cctype>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "common/temp_dir.h"

namespace stow::testing {

// Base64 in lines of 76, each ended by eol ("" for one unbroken line).
inline std::string Base64(const std::string& data, const std::string& eol = "\r\n") {
  gchar* encoded = g_base64_encode(reinterpret_cast<const guchar*>(data.data()), data.size());
  std::string raw = encoded;
  g_free(encoded);
  if (eol.empty()) return raw;
  std::string out;
  for (std::size_t i = 0; i < raw.size(); i += 76) out += raw.substr(i, 76) + eol;
  return out;
}

// Bytes that survive no careless text handling (NUL, CR LF and a high byte first,
// no final newline); the same seed gives the same bytes.
inline std::string SeededBytes(std::size_t n, unsigned seed) {
  std::string s(n, '\0');
  std::uint32_t x = seed * 2654435761u + 1;
  for (auto& c : s) c = static_cast<char>(((x = x * 1103515245u + 12345u) >> 16) & 0xFF);
  if (n > 4) s.replace(0, 4, std::string("\0\r\n\xFF", 4));
  return s;
}

// name as an RFC 2231 parameter value: utf-8'' and every byte but letters, digits,
// '.', '-' and '_' as %XX.
inline std::string Rfc2231(const std::string& name) {
  static const char* hex = "0123456789ABCDEF";
  std::string out = "utf-8''";
  for (unsigned char c : name) {
    if (std::isalnum(c) || c == '.' || c == '-' || c == '_') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

// Pairs of names one file system tells apart and a case- or normalisation-folding key
// does not: each must stay two files and two records.
inline std::vector<std::string> FoldingTwinNames() {
  return {"Report.pdf",
          "report.pdf",
          "R\xC3\xA9sum\xC3\xA9.pdf",
          "R\xC3\x89SUM\xC3\x89.PDF",
          "caf\xC3\xA9.txt",
          "cafe\xCC\x81.txt",
          "stra\xC3\x9F"
          "e.txt",
          "STRASSE.txt"};
}

struct MimePart {
  std::string name{};  // file name as the sender wrote it (quoted as is)
  std::string data{};
  // Raw header lines (without the line end) that replace the usual Content-Type,
  // Content-Disposition and Content-Transfer-Encoding of the part.
  std::vector<std::string> rawHeaders{};
  // Encoded body that replaces the base64 of data.
  std::optional<std::string> rawBody{};
  std::string contentId{};  // without <>; set: an inline part
};

struct MimeMessage {
  std::string messageId{};  // without <>
  std::string subject{};
  std::string html{};  // empty: a paragraph with the subject
  std::vector<MimePart> parts{};
  std::vector<std::string> extraHeaders{};  // top-level, without the line end
  std::string boundary = "=-b0undary-test";
  std::string eol = "\r\n";
  bool htmlBase64 = false;
  std::string date = "Mon, 04 Mar 2024 09:15:00 +0000";
};

inline std::string Render(const MimeMessage& m) {
  const std::string& n = m.eol;
  std::ostringstream out;
  out << "From: Ann <ann@example.org>" << n << "To: you@example.org" << n
      << "Subject: " << m.subject << n << "Date: " << m.date << n << "Message-ID: <" << m.messageId
      << ">" << n << "MIME-Version: 1.0" << n;
  for (const auto& h : m.extraHeaders) out << h << n;
  std::string html = m.html.empty() ? "<html><body><p>" + m.subject + "</p></body></html>" : m.html;
  std::string text =
      "Content-Type: text/html; charset=utf-8" + n +
      (m.htmlBase64 ? "Content-Transfer-Encoding: base64" + n + n + Base64(html, n) : n + html + n);
  if (m.parts.empty()) return out.str() + text;
  out << "Content-Type: multipart/mixed; boundary=\"" << m.boundary << "\"" << n << n << "--"
      << m.boundary << n << text;
  for (const auto& p : m.parts) {
    out << "--" << m.boundary << n;
    if (p.rawHeaders.empty()) {
      out << "Content-Type: application/octet-stream; name=\"" << p.name << "\"" << n
          << "Content-Disposition: " << (p.contentId.empty() ? "attachment" : "inline")
          << "; filename=\"" << p.name << "\"" << n << "Content-Transfer-Encoding: base64" << n;
      if (!p.contentId.empty()) out << "Content-ID: <" << p.contentId << ">" << n;
    } else {
      for (const auto& h : p.rawHeaders) out << h << n;
    }
    out << n << (p.rawBody ? *p.rawBody : Base64(p.data, n));
  }
  out << "--" << m.boundary << "--" << n;
  return out.str();
}

inline void MakeMaildir(const std::filesystem::path& dir) {
  for (const char* sub : {"cur", "new", "tmp"}) std::filesystem::create_directories(dir / sub);
}

// Delivers into dir/sub (written in tmp/, then renamed) under a unique name; returns
// the file's path.
inline std::filesystem::path Deliver(const std::filesystem::path& dir, const std::string& unique,
                                     const std::string& bytes, const std::string& sub = "cur") {
  MakeMaildir(dir);
  auto tmp = dir / "tmp" / unique;
  WriteAll(tmp, bytes);
  auto dest = dir / sub / (sub == "cur" ? unique + ":2,S" : unique);
  std::filesystem::rename(tmp, dest);
  return dest;
}

}  // namespace stow::testing
