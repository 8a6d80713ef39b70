#pragma once
// The per-user secret that authenticates the properties the store writes into
// message headers. Any sender can put any header into a mail; only a header
// carrying a valid HMAC-SHA256 under this secret is believed.

#include <glib.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace stow::maildir {

class HeaderAuth {
 public:
  // Reads the secret at path, creating it (32 random bytes, hex, mode 0600, in a
  // directory created 0700) when the file does not exist. Raises ComError when the
  // secret can neither be read nor created.
  static HeaderAuth LoadOrCreate(const std::string& path);
  // The default location: $XDG_CONFIG_HOME/stowbright/maildir-secret (or
  // ~/.config/stowbright/maildir-secret).
  static std::string DefaultPath();

  explicit HeaderAuth(std::string key);

  // Lowercase hex HMAC-SHA256 of the fields joined by NUL bytes.
  std::string Sign(const std::vector<std::string_view>& fields) const;
  // Compares in constant time.
  bool Verify(const std::vector<std::string_view>& fields, std::string_view mac) const;

 private:
  std::string key_;
  // The keyed state, made once: every check copies it instead of hashing the key
  // again (the start-up sweep checks one mark per message).
  std::shared_ptr<GHmac> keyed_;
};

}  // namespace stow::maildir
