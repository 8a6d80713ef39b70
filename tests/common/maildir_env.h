#pragma once
// The add-in environment over a real Maildir store (Root()/Maildir, its secret beside
// it), and messages built and delivered into it as a delivery agent would.

#include <memory>
#include <string>

#include "common/addin_environment.h"
#include "common/mime_message.h"
#include "platform/maildir/maildir_store.h"

namespace stow::testing {

inline AddinEnvironment::Options MaildirOptions() {
  AddinEnvironment::Options o;
  o.makeStore = [](const std::string& root) -> std::shared_ptr<om::NameSpace> {
    maildir::Options options;
    options.secretPath = root + "/secret";
    maildir::MaildirStore::Create(root + "/Maildir");
    return maildir::MaildirStore::Open(root + "/Maildir", options);
  };
  return o;
}

}  // namespace stow::testing
