#pragma once
// Opening the secret a store's marks are checked with. A secret that is lost or
// replaced makes every record in the mail unreadable, so a new one is made only
// where no message carries a mark yet (or the user asked for a new one): otherwise
// the records would be dropped in silence.

#include <cstddef>
#include <functional>
#include <string>

#include "platform/maildir/header_auth.h"

namespace stow::maildir {

struct StoreSecret {
  HeaderAuth auth;
  bool created = false;  // made now
};

// The secret at secretPath. When there is none, it is made unless a message of the
// Maildir tree at root carries one of the store's marks and allowNew is false: then
// ComError says how many do and where the secret belongs.
StoreSecret OpenStoreSecret(const std::string& secretPath, const std::string& root, bool allowNew);
// The same for any store: countMarked counts its messages that carry a mark (setting
// *example to a description of one), where names the store in the error.
StoreSecret OpenStoreSecret(const std::string& secretPath, const std::string& where, bool allowNew,
                            const std::function<std::size_t(std::string* example)>& countMarked);

// How many messages of the Maildir tree at root (the root and its Maildir++ folders,
// cur/ and new/) carry a billing or property mark that names the secret it was made
// with; *example is set to one of them.
std::size_t CountMarkedMessages(const std::string& root, std::string* example = nullptr);

}  // namespace stow::maildir
