#include "platform/maildir/store_util.h"

#include <gnutls/crypto.h>

#include <cstring>
#include <new>
#include <utility>

#include "platform/com_error.h"
#include "platform/posix/posix_util.h"

namespace stow::maildir {

void RaiseErrno(int err, const std::string& what, const std::string& path) {
  Raise(posix::ErrorNumberFor(err, path), kSource, what + ": " + std::strerror(err));
}

std::string FoldName(const std::string& name) {
  gchar* f = g_utf8_casefold(name.c_str(), static_cast<gssize>(name.size()));
  std::string r = f ? f : name;
  g_free(f);
  return r;
}

bool SameName(const std::string& a, const std::string& b) {
  return FoldName(a) == FoldName(b);
}

std::string Base64(std::string_view bytes) {
  gchar* e = g_base64_encode(reinterpret_cast<const guchar*>(bytes.data()), bytes.size());
  std::string r = e;
  g_free(e);
  return r;
}

std::string DecodeBase64(const std::string& text) {
  gsize len = 0;
  guchar* d = g_base64_decode(text.c_str(), &len);
  std::string r(reinterpret_cast<char*>(d), len);
  g_free(d);
  return r;
}

std::optional<std::string> UnBase64(const std::string& text) {
  for (char c : text)
    if (!(g_ascii_isalnum(c) || c == '+' || c == '/' || c == '=')) return std::nullopt;
  if (text.size() % 4) return std::nullopt;
  return DecodeBase64(text);
}

std::string HexUpper(std::string_view bytes) {
  static const char* kDigits = "0123456789ABCDEF";
  std::string s;
  for (unsigned char b : bytes) {
    s += kDigits[b >> 4];
    s += kDigits[b & 15];
  }
  return s;
}

Sha256::Sha256() : h_(nullptr) {
  if (gnutls_hash_init(&h_, GNUTLS_DIG_SHA256) < 0) throw std::bad_alloc();
}

Sha256::~Sha256() {
  if (h_) gnutls_hash_deinit(h_, nullptr);
}

void Sha256::Update(const char* data, std::size_t n) {
  if (h_ && n > 0) gnutls_hash(h_, data, n);
}

std::string Sha256::Hex() {
  if (!h_) return hex_;
  unsigned char digest[32];
  gnutls_hash_deinit(h_, digest);
  h_ = nullptr;
  static const char kDigits[] = "0123456789abcdef";
  for (unsigned char b : digest) {
    hex_ += kDigits[b >> 4];
    hex_ += kDigits[b & 15];
  }
  return hex_;
}

std::string Md5(std::string_view bytes) {
  GChecksum* c = g_checksum_new(G_CHECKSUM_MD5);
  g_checksum_update(c, reinterpret_cast<const guchar*>(bytes.data()),
                    static_cast<gssize>(bytes.size()));
  guint8 digest[16];
  gsize len = sizeof digest;
  g_checksum_get_digest(c, digest, &len);
  g_checksum_free(c);
  return std::string(reinterpret_cast<char*>(digest), len);
}

std::string HtmlToText(const std::string& html) {
  static const std::pair<const char*, const char*> kEntities[] = {{"&amp;", "&"},  {"&lt;", "<"},
                                                                  {"&gt;", ">"},   {"&quot;", "\""},
                                                                  {"&nbsp;", " "}, {"&#39;", "'"}};
  std::string out;
  bool inTag = false;
  for (std::size_t i = 0; i < html.size(); ++i) {
    char c = html[i];
    if (inTag) {
      if (c == '>') inTag = false;
      continue;
    }
    if (c == '<') {
      inTag = true;
      continue;
    }
    if (c == '&') {
      bool done = false;
      for (const auto& [e, r] : kEntities) {
        if (html.compare(i, std::strlen(e), e) == 0) {
          out += r;
          i += std::strlen(e) - 1;
          done = true;
          break;
        }
      }
      if (done) continue;
    }
    out += c;
  }
  return out;
}

}  // namespace stow::maildir
