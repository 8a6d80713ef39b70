#pragma once
// Transfer decoders that refuse what they cannot decode faithfully. An attachment is
// taken out of a mail only when its bytes are exactly what the encoded text stands
// for, so anything a conforming decoder could read in more than one way (a group or
// an escape cut off at the end, a character outside the alphabet, white space a
// transport may have added) raises instead of guessing. Both work in pieces: Feed
// any number of times, then Finish.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace stow::maildir {

using Sink = std::function<void(const char* data, std::size_t size)>;

// Raises ComError "The attachment cannot be decoded faithfully: <why>".
[[noreturn]] void Undecodable(const std::string& why);

// Base64: the alphabet, white space anywhere, '=' only to complete a group of four.
// Every group must be whole: an unpadded end is text cut off (unless the reader only
// wants to show the text, and takes the bytes it stands for). Several padded runs
// one after the other (as some encoders write them) decode whole.
class Base64Decoder {
 public:
  explicit Base64Decoder(const Sink& sink, bool unpaddedEnd = false)
      : sink_(sink), unpaddedEnd_(unpaddedEnd) {}
  void Feed(const char* data, std::size_t n);
  void Finish();

 private:
  const Sink& sink_;
  bool unpaddedEnd_;
  int quad_ = 0, pads_ = 0;
  std::uint32_t value_ = 0;
  std::vector<char> out_;
};

// Quoted-printable: "=XX" (either case) is a byte, "=" before a line break (or at the
// very end) joins lines, every other byte stands for itself, line breaks as they are.
// Refused: "=" followed by anything else, and blanks at the end of a line (decoders
// disagree on whether they belong to the text).
class QuotedPrintableDecoder {
 public:
  explicit QuotedPrintableDecoder(const Sink& sink) : sink_(sink) {}
  void Feed(const char* data, std::size_t n);
  void Finish();

 private:
  void Flush();
  const Sink& sink_;
  std::string out_;
  std::string pending_;  // an escape or blanks whose meaning depends on what follows
};

}  // namespace stow::maildir
