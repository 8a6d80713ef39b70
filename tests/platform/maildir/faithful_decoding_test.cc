// Every body size from 0 to 300 bytes, in base64 and quoted-printable of every layout
// generators write, in messages whose structure ends its lines in CR LF and in LF:
// each attachment is either decoded to exactly what Python's email package makes of
// it, or refused (and so kept in the mail).

#include <glib.h>

#include <cstdio>
#include <cstdlib>
#include <map>

#include "maildir/maildir_fixture.h"
#include "platform/maildir/mime.h"

namespace stow::maildir::testing {
namespace {

// Lines of `width`, the i-th ended by eol(i): the last one's line break is the one
// before the boundary.
template <class Eol>
std::string Lines(const std::string& text, std::size_t width, const Eol& eol) {
  std::string out;
  for (std::size_t i = 0, n = 0; i < text.size(); i += width, ++n)
    out += text.substr(i, width) + eol(n);
  return out;
}

// Quoted-printable with every line break of the content escaped, so that the decoded
// bytes do not depend on the line breaks the message uses.
std::string EncodeQp(const std::string& bytes, const std::string& eol) {
  std::string out;
  std::size_t line = 0;
  for (unsigned char c : bytes) {
    std::string piece;
    if (c > 32 && c < 127 && c != '=') {
      piece = std::string(1, static_cast<char>(c));
    } else {
      char hex[4];
      std::snprintf(hex, sizeof hex, "=%02X", c);
      piece = hex;
    }
    if (line + piece.size() > 72) {
      out += "=" + eol;
      line = 0;
    }
    out += piece;
    line += piece.size();
  }
  return out;
}

struct Variant {
  std::string name, encoding, body;
  bool wellFormed;  // must be decoded, to the original bytes
};

std::vector<Variant> Variants(const std::string& bytes) {
  std::string b64 = Base64(bytes, ""), unpadded = b64;
  while (!unpadded.empty() && unpadded.back() == '=') unpadded.pop_back();
  auto lf = [](std::size_t) { return "\n"; };
  auto crlf = [](std::size_t) { return "\r\n"; };
  auto mixed = [](std::size_t n) { return n % 2 ? "\r\n" : "\n"; };
  std::string qp = EncodeQp(bytes, "\n");
  std::vector<Variant> v = {
      {"b64-lf", "base64", Lines(b64, 76, lf), true},
      {"b64-crlf", "base64", Lines(b64, 76, crlf), true},
      {"b64-odd-width", "base64", Lines(b64, 13, lf), true},
      {"b64-mixed", "base64", Lines(b64, 60, mixed), true},
      {"b64-one-line", "base64", b64 + "\r\n", true},
      {"qp-lf", "quoted-printable", qp + "\n", true},
      {"qp-crlf", "quoted-printable", EncodeQp(bytes, "\r\n") + "\r\n", true},
      {"qp-soft-end", "quoted-printable", qp + "=\n", true},
      {"qp-bad-escape", "quoted-printable", qp + "=ZZ\n", false},
      {"qp-cut-escape", "quoted-printable", qp + "=4\n", false},
      {"qp-blank-at-eol", "quoted-printable", qp + " \n", false},
  };
  if (unpadded != b64) v.push_back({"b64-unpadded", "base64", Lines(unpadded, 76, lf), false});
  return v;
}

// Text-like bytes with blanks, '=', 8-bit bytes and line breaks of both kinds.
std::string Content(std::size_t n) {
  std::string s;
  std::uint32_t x = static_cast<std::uint32_t>(n) * 2654435761u + 1;
  static const std::string kAlphabet = "ab =\t\r\n\xe9\x01Z9.";
  for (std::size_t i = 0; i < n; ++i) {
    x = x * 1103515245u + 12345u;
    s += (x >> 24) % 4 ? kAlphabet[(x >> 16) % kAlphabet.size()] : static_cast<char>(x >> 8);
  }
  return s;
}

std::string Message(std::size_t size, const std::string& eol) {
  std::string m = "Message-ID: <s" + std::to_string(size) + "@example.org>" + eol +
                  "From: a@example.org" + eol + "Subject: sizes" + eol + "MIME-Version: 1.0" + eol +
                  "Content-Type: multipart/mixed; boundary=\"B\"" + eol + eol + "--B" + eol +
                  "Content-Type: text/plain" + eol + eol + "body" + eol;
  for (const auto& v : Variants(Content(size)))
    m += "--B" + eol + "Content-Type: application/octet-stream; name=\"" + v.name + ".bin\"" + eol +
         "Content-Transfer-Encoding: " + v.encoding + eol + eol + v.body;
  return m + "--B--" + eol;
}

// name of file / part -> hex SHA-256 of what Python's email package decodes.
std::map<std::string, std::string> PythonDecoded(const fs::path& dir) {
  std::string script =
      "import email, hashlib, os, sys\n"
      "d = sys.argv[1]\n"
      "for f in sorted(os.listdir(d)):\n"
      "    m = email.message_from_bytes(open(os.path.join(d, f), 'rb').read())\n"
      "    for p in m.walk():\n"
      "        if p.get_filename():\n"
      "            b = p.get_payload(decode=True)\n"
      "            print(f + '/' + p.get_filename(), hashlib.sha256(b).hexdigest())\n";
  WriteAll(dir.parent_path() / "decode.py", script);
  std::string cmd =
      "python3 '" + (dir.parent_path() / "decode.py").string() + "' '" + dir.string() + "'";
  std::map<std::string, std::string> out;
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return out;
  char name[512], hash[80];
  while (std::fscanf(p, "%511s %79s", name, hash) == 2) out[name] = hash;
  pclose(p);
  return out;
}

TEST_F(MaildirTest, EveryBodySizeDecodesAsPythonDoesOrIsRefused) {
  if (std::system("python3 -c 'import email' >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "python3 is not installed (scripts/setup installs it)";
  fs::path gen = dir_ / "gen";
  fs::create_directories(gen);
  for (std::size_t size = 0; size <= 300; ++size) {
    WriteAll(gen / ("crlf-" + std::to_string(size)), Message(size, "\r\n"));
    WriteAll(gen / ("lf-" + std::to_string(size)), Message(size, "\n"));
  }
  auto python = PythonDecoded(gen);
  ASSERT_FALSE(python.empty()) << "python3 decoded nothing";
  int decoded = 0, refused = 0;
  for (std::size_t size = 0; size <= 300; ++size) {
    std::string original = Content(size);
    std::map<std::string, bool> wellFormed;
    for (const auto& v : Variants(original)) wellFormed[v.name + ".bin"] = v.wellFormed;
    for (const char* style : {"crlf-", "lf-"}) {
      std::string file = style + std::to_string(size);
      auto doc = mime::Document::Parse((gen / file).string());
      ASSERT_EQ(doc->damage(), "") << file;
      auto parts = mime::AttachmentParts(doc->message());
      ASSERT_EQ(parts.size(), wellFormed.size()) << file;
      for (GMimeObject* part : parts) {
        std::string name = mime::PartFileName(part), bytes;
        bool ok =
            ErrorOf([&] {
              mime::DecodePart(part, [&](const char* d, std::size_t n) { bytes.append(d, n); });
            }) == 0;
        std::string where = file + "/" + name;
        if (ok) {
          ++decoded;
          EXPECT_EQ(Sha256(bytes), python[where]) << where;
        } else {
          ++refused;
        }
        if (wellFormed[name]) {
          EXPECT_TRUE(ok) << where << ": " << lastError_;
          EXPECT_EQ(bytes, original) << where;
        } else {
          EXPECT_FALSE(ok) << where << " may be text cut off: it must stay in the mail";
        }
      }
    }
  }
  EXPECT_GT(decoded, 0);
  EXPECT_GT(refused, 0);
}

}  // namespace
}  // namespace stow::maildir::testing
