#pragma once
// Maildir file names and Maildir++ folder names as small pure functions, so the
// rules other programs rely on can be read (and tested) in one place.
//
// A message file is "<unique>[,<field>=<value>...][:2,<flags>]". The unique part
// names the message for its whole life (our EntryID); the comma fields are
// caches of other programs (S= size, W= size with CR LF, U= a sync tool's UID)
// and the info after ':' carries the flags a client set.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace stow::maildir {

struct MaildirFileName {
  std::string unique;               // up to the first ',' or ':'
  std::vector<std::string> fields;  // "S=123", "W=130", "U=7", in order
  std::optional<std::string> info;  // after ':', e.g. "2,FS"; nullopt when no ':'

  static MaildirFileName Parse(std::string_view fileName);
  std::string ToString() const;
  bool HasField(char key) const;
};

// The unique part of a message file name (MaildirFileName::Parse(name).unique, for
// the walks over a whole folder, without taking the name apart).
inline std::string_view UniqueOf(std::string_view fileName) {
  return fileName.substr(0, fileName.find_first_of(",:"));
}

// The file name a rewritten message gets: a new unique part, the flags kept, the
// sync tool's U= dropped (the content is not the one it knows), W= dropped and
// S= recomputed only when the old name carried one.
std::string RewrittenFileName(const MaildirFileName& old, const std::string& newUnique,
                              std::int64_t newSize);

// A fresh unique name "<seconds>.M<usec>P<pid>Q<n>R<random>.<host>". The leading
// seconds are the delivery time readers take as ReceivedTime, so a rewrite passes
// the original delivery time to keep it.
std::string NewUniqueName(std::int64_t deliverySeconds);

// The process that made unique with NewUniqueName on this host; 0 when unique is not
// such a name.
long WriterPidOfUnique(std::string_view unique);

// The delivery time encoded at the start of a unique name, when it is plausible.
std::optional<std::int64_t> DeliveryTimeOfUnique(std::string_view unique);

// Maildir++ folder directory names (".Sent Items", ".Work.Projects") and the
// folder names they stand for. Non-ASCII names use IMAP modified UTF-7, as
// Dovecot and Courier write them.
std::vector<std::string> FolderNamesOfDirectory(std::string_view dirName);
std::string DirectoryOfFolderNames(const std::vector<std::string>& names);
std::string DecodeModifiedUtf7(std::string_view text);
std::string EncodeModifiedUtf7(std::string_view utf8);

// Maildir flags within an info "2,<flags>".
bool InfoHasFlag(const std::optional<std::string>& info, char flag);

}  // namespace stow::maildir
