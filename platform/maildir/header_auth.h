#pragma once
// The per-user secret that authenticates the properties the store writes into
// message headers. Any sender can put any header into a mail; only a header
// carrying a valid HMAC-SHA256 under this secret is believed.

#include <glib.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace stow::maildir {

// The headers the store authenticates with the secret.
inline constexpr const char* kBillingHeader = "X-Stowbright-Billing";
inline constexpr const char* kPropertyHeader = "X-Stowbright-Property";
inline constexpr const char* kHiddenHeader = "X-Stowbright-Hidden";
// What brings a detached part back as it was (see part_restore.h).
inline constexpr const char* kPartHeader = "X-Stowbright-Part";
inline constexpr const char* kTextHeader = "X-Stowbright-Text";
inline constexpr const char* kAttachmentHeader = "X-Stowbright-Attachment";

class HeaderAuth {
 public:
  // Reads the secret at path; nullopt when there is no file. Raises ComError when it
  // cannot be read or is too short.
  static std::optional<HeaderAuth> Load(const std::string& path);
  // Makes a new secret at path (32 random bytes, hex, mode 0600, in a directory
  // created 0700) and reads it; a secret another process made there meanwhile is
  // the one read. Raises ComError when it can neither be made nor read.
  static HeaderAuth Create(const std::string& path);
  // The default location: $XDG_CONFIG_HOME/stowbright/maildir-secret (or
  // ~/.config/stowbright/maildir-secret).
  static std::string DefaultPath();

  explicit HeaderAuth(std::string key);

  // Lowercase hex HMAC-SHA256 of the fields joined by NUL bytes.
  std::string Sign(const std::vector<std::string_view>& fields) const;
  // Compares in constant time.
  bool Verify(const std::vector<std::string_view>& fields, std::string_view mac) const;
  // Names the secret without giving it away (16 hex digits): a mark written under
  // another secret is told from a forged or damaged one by it.
  const std::string& KeyId() const { return keyId_; }

 private:
  std::string key_;
  // The keyed state, made once: every check copies it instead of hashing the key
  // again (the start-up sweep checks one mark per message).
  std::shared_ptr<GHmac> keyed_;
  std::string keyId_;
};

}  // namespace stow::maildir
