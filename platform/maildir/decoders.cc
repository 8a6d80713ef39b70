#include "platform/maildir/decoders.h"

#include <array>

#include "platform/com_error.h"

namespace stow::maildir {

namespace {

constexpr int kBlank = -2, kPad = -3, kInvalid = -1;
constexpr std::array<signed char, 256> MakeRanks() {
  std::array<signed char, 256> t{};
  for (auto& x : t) x = kInvalid;
  const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (int i = 0; i < 64; ++i)
    t[static_cast<unsigned char>(alphabet[i])] = static_cast<signed char>(i);
  for (unsigned char c : {' ', '\t', '\r', '\n'}) t[c] = kBlank;
  t['='] = kPad;
  return t;
}
constexpr std::array<signed char, 256> kRank = MakeRanks();

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

void Undecodable(const std::string& why) {
  Raise(errnum::kFail, "Maildir store", "The attachment cannot be decoded faithfully: " + why);
}

// One table lookup a character; the output goes to the sink in blocks.
void Base64Decoder::Feed(const char* data, std::size_t n) {
  out_.resize(n / 4 * 3 + 3);
  char* o = out_.data();
  const auto* p = reinterpret_cast<const unsigned char*>(data);
  const auto* end = p + n;
  while (p < end) {
    // The common case: whole groups of four letters with no blank between them.
    if (quad_ == 0) {
      while (end - p >= 4) {
        int a = kRank[p[0]], b = kRank[p[1]], c = kRank[p[2]], d = kRank[p[3]];
        if ((a | b | c | d) < 0) break;
        std::uint32_t v = (static_cast<std::uint32_t>(a) << 18) |
                          (static_cast<std::uint32_t>(b) << 12) |
                          (static_cast<std::uint32_t>(c) << 6) | static_cast<std::uint32_t>(d);
        o[0] = static_cast<char>(v >> 16);
        o[1] = static_cast<char>(v >> 8);
        o[2] = static_cast<char>(v);
        o += 3;
        p += 4;
      }
      if (p == end) break;
    }
    int r = kRank[*p++];
    if (r >= 0) {
      if (pads_ > 0) Undecodable("data after padding within a group");
      value_ = (value_ << 6) | static_cast<std::uint32_t>(r);
    } else if (r == kBlank) {
      continue;
    } else if (r == kPad) {
      if (quad_ < 2) Undecodable("padding in the wrong place");
      ++pads_;
      value_ <<= 6;
    } else {
      Undecodable("a character that is not base64");
    }
    if (++quad_ == 4) {
      *o++ = static_cast<char>(value_ >> 16);
      if (pads_ < 2) *o++ = static_cast<char>(value_ >> 8);
      if (pads_ < 1) *o++ = static_cast<char>(value_);
      quad_ = 0;
      pads_ = 0;
      value_ = 0;
    }
  }
  if (o != out_.data()) sink_(out_.data(), static_cast<std::size_t>(o - out_.data()));
}

void Base64Decoder::Finish() {
  if (unpaddedEnd_ && quad_ > 1 && pads_ == 0) {
    std::uint32_t v = value_ << (6 * (4 - quad_));
    char tail[2] = {static_cast<char>(v >> 16), static_cast<char>(v >> 8)};
    sink_(tail, static_cast<std::size_t>(quad_ - 1));
    quad_ = 0;
  }
  // A group that stops short, padded or not, is text cut off: the bytes it would
  // stand for may not be all there were.
  if (quad_ != 0) Undecodable("the encoded text is cut off within a group");
}

void QuotedPrintableDecoder::Feed(const char* data, std::size_t n) {
  for (const char* p = data; p < data + n; ++p) {
    char c = *p;
    if (!pending_.empty() && pending_[0] == '=') {
      if (pending_.size() == 1 && HexValue(c) >= 0) {
        pending_ += c;
      } else if (pending_.size() == 1 && c == '\r') {
        pending_ += c;
      } else if ((pending_ == "=" || pending_ == "=\r") && c == '\n') {
        pending_.clear();  // a soft line break
      } else if (pending_.size() == 2 && pending_[1] != '\r' && HexValue(c) >= 0) {
        out_ += static_cast<char>(HexValue(pending_[1]) * 16 + HexValue(c));
        pending_.clear();
      } else {
        Undecodable("an '=' that is neither an escape nor a soft line break");
      }
      continue;
    }
    if (!pending_.empty()) {  // blanks
      if (c == ' ' || c == '\t') {
        pending_ += c;
        continue;
      }
      if (c == '\r' || c == '\n') Undecodable("blanks at the end of a line");
      out_ += pending_;
      pending_.clear();
    }
    if (c == '=' || c == ' ' || c == '\t')
      pending_ = c;
    else
      out_ += c;
  }
  Flush();
}

void QuotedPrintableDecoder::Finish() {
  // A lone '=' at the very end is a soft line break before the boundary.
  if (pending_.size() > 1 && pending_[0] == '=') Undecodable("an escape is cut off at the end");
  if (!pending_.empty() && pending_[0] != '=') Undecodable("blanks at the end of the text");
  pending_.clear();
  Flush();
}

void QuotedPrintableDecoder::Flush() {
  if (out_.empty()) return;
  sink_(out_.data(), out_.size());
  out_.clear();
}

}  // namespace stow::maildir
