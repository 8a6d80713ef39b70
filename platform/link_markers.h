#pragma once
// The fixed texts that find the block of links in a detached mail's HTML body, and
// the URL form its links take. The add-in writes and removes the block; a store that
// shows the mail to text readers finds it too, to list the same files in the
// plain-text body. Bodies written by every earlier version carry the markers, so
// they never change.

#include <string>

namespace stow {

inline constexpr const char* kBlockStartId = "tableKZOSTART";
inline constexpr const char* kBlockEndId = "tableKZOEND";
inline constexpr const char* kBlockEndComment = "<!--END_KZO--->";
// The text in front of the start id where a block begins.
inline constexpr const char* kBlockOpening = "<br><table id=";

// text with every byte percent-encoded but the unreserved characters and those of
// keep.
inline std::string PercentEncode(const std::string& text, const std::string& keep) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size() + 16);
  for (char c : text) {
    unsigned char u = static_cast<unsigned char>(c);
    bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (alnum || c == '-' || c == '.' || c == '_' || c == '~' ||
        (u != 0 && keep.find(c) != std::string::npos)) {
      out += c;
    } else {
      out += '%';
      out += kHex[u >> 4];
      out += kHex[u & 15];
    }
  }
  return out;
}

// The file: URL (RFC 8089) of an absolute path, by which a block links to a saved
// file: its UTF-8 bytes percent-encoded but for the unreserved characters and "/",
// so that "#", "%", "?" and blanks in a name reach the file in every reader. A path
// that is not absolute is only encoded.
inline std::string FileUrl(const std::string& path) {
  std::string encoded = PercentEncode(path, "/");
  return path.rfind('/', 0) == 0 ? "file://" + encoded : encoded;
}

}  // namespace stow
