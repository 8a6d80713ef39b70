#pragma once
// Small helpers the pieces of the Maildir store share, each kept in one place: the
// store's error for a failed system call, names compared as the mail client
// compares them, base64, hex and digests (GLib and GnuTLS underneath), and the plain text of
// an HTML body.

#include <glib.h>

#include <optional>
#include <string>
#include <string_view>

struct hash_hd_st;  // GnuTLS's gnutls_hash_hd_t

namespace stow::maildir {

// The source of every error the store raises.
inline constexpr const char* kSource = "Maildir store";

// Raises the store's error for errno err of a step on path: the number is the file
// system's (posix::ErrorNumberFor), the description what was being done and why it
// failed.
[[noreturn]] void RaiseErrno(int err, const std::string& what, const std::string& path);

// Folder and property names compare without regard to case (Unicode case folding).
std::string FoldName(const std::string& name);
bool SameName(const std::string& a, const std::string& b);

std::string Base64(std::string_view bytes);
// The bytes base64 text stands for, as GLib reads it (what is not base64 is skipped).
std::string DecodeBase64(const std::string& text);
// nullopt unless text is base64 without white space: the alphabet, '=' and whole
// groups of four.
std::optional<std::string> UnBase64(const std::string& text);
// Upper-case hex digits of bytes.
std::string HexUpper(std::string_view bytes);
// The 16 bytes of the MD5 digest of bytes.
std::string Md5(std::string_view bytes);

// SHA-256 of bytes given in pieces, as lowercase hex. GnuTLS's, which uses the
// processor's SHA instructions: every attachment saved or put back is hashed, and
// GLib's portable digest took a fifth of a re-attach's time.
class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;
  void Update(const char* data, std::size_t n);
  // The digest of everything given; nothing may be given after it.
  std::string Hex();

 private:
  hash_hd_st* h_;
  std::string hex_;
};

// The text of an HTML body for a reader of plain text: tags dropped, the common
// entities replaced.
std::string HtmlToText(const std::string& html);

}  // namespace stow::maildir
