#pragma once
// Reading a message file without GMime, for the questions asked of every message of
// a folder (a sweep asks each one whether it was processed). Each answer is either
// exactly what a GMime parse would give or "ask GMime": a header block with anything
// unusual in it is never interpreted here.

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace stow::maildir::scan {

// Whether the file open at fd (read from its current offset) holds needle
// (lower-case ASCII containing a '/') in any letter case; false when it cannot be
// read.
bool Mentions(int fd, std::string_view needle);

// The top-level header fields of a message, in file order.
struct HeaderBlock {
  // name as written, and the value as mime::RawHeaders gives it (line breaks
  // removed, blanks trimmed at both ends).
  std::vector<std::pair<std::string, std::string>> fields;

  // The values of the fields called name (compared without regard to ASCII case).
  std::vector<std::string> Values(std::string_view name) const;
  // The Message-ID the way GMime decodes it from the last Message-ID field; "" when
  // there is none.
  std::string MessageId() const;
};

// The header block of text (up to the first empty line, or all of it). nullopt when
// a line is neither "name: value" with a plain name (printable ASCII, no blank) nor
// the continuation of one, or the text holds a NUL byte: GMime must read those.
// With `only` given, every line is still checked but only the fields of those names
// (compared without regard to ASCII case) are kept.
std::optional<HeaderBlock> ParseSimpleHeaderBlock(std::string_view text,
                                                  const std::vector<std::string_view>& only = {});

// The header block of the open file fd, read from its current offset only as far as
// its first empty line (which it includes), or to the end of a message of headers
// only. complete is false when the file could not be read, or no empty line came
// within limit bytes (text then holds what was read).
struct HeaderText {
  std::string text;
  bool complete = false;
};
HeaderText ReadHeaderText(int fd, std::size_t limit = 4 << 20);

// ParseSimpleHeaderBlock of a header block so read; nullopt also when it is not
// complete or longer than limit bytes.
std::optional<HeaderBlock> SimpleHeaderBlockOf(const HeaderText& header,
                                               const std::vector<std::string_view>& only = {},
                                               std::size_t limit = 1 << 20);

// The same for the header block of the open file fd (read from its current offset),
// reading only as far as the first empty line. nullopt also when the file cannot be
// read or the header block is longer than limit bytes.
std::optional<HeaderBlock> ReadSimpleHeaderBlock(int fd,
                                                 const std::vector<std::string_view>& only = {},
                                                 std::size_t limit = 1 << 20);

}  // namespace stow::maildir::scan
