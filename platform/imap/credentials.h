#pragma once
// Where the password of an IMAP account comes from: a command the user names
// (--password-command, as in other mail tools: "pass show mail/work", "secret-tool
// lookup ...", "gpg -dq ~/.mailpass.gpg") or the user's ~/.netrc. Never the command
// line of this program nor the settings store, where other users or backups would see
// it. The password is never passed to another program on its command line.

#include <optional>
#include <string>

#include "platform/imap/endpoint.h"

namespace stow::imap {

// Runs commandLine through /bin/sh -c (so the user's quoting and pipes work), with
// this process's standard input and error (a passphrase prompt can reach the
// user), and returns the first line of its output without the line end. Raises
// ComError when it cannot be run, fails, or prints nothing; the message never
// contains its output.
std::string PasswordFromCommand(const std::string& commandLine);

// The password of the netrc file at path for host and user: the first "machine host"
// entry whose login is user (or that has no login), else a "default" entry of that
// kind. nullopt when the file does not exist or has no such entry. Raises ComError
// naming the file when it cannot be read, or when others may read it (mode bits for
// group or others set), as ftp and curl do.
std::optional<std::string> PasswordFromNetrc(const std::string& path, const std::string& host,
                                             const std::string& user);

// $NETRC when set, else ~/.netrc.
std::string DefaultNetrcPath();

// The password for endpoint: from passwordCommand when it is not empty, else from
// DefaultNetrcPath(). Raises ComError (errnum::kAccessDenied) explaining both ways
// when neither gives one.
std::string ObtainPassword(const Endpoint& endpoint, const std::string& passwordCommand);

}  // namespace stow::imap
