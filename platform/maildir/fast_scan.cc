#include "platform/maildir/fast_scan.h"

#include <glib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/maildir/mime.h"

namespace stow::maildir::scan {

bool Mentions(int fd, std::string_view needle) {
  // It runs over every byte of a message once per detach, so it only stops where a
  // '/' is and compares the rest of the needle around it.
  const std::size_t slash = needle.find('/');
  if (slash == std::string_view::npos || needle.empty()) return false;
  std::vector<char> buf(1 << 16);
  std::size_t kept = 0;  // bytes carried over from the previous read
  bool found = false;
  while (!found) {
    ssize_t n = read(fd, buf.data() + kept, buf.size() - kept);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    const std::size_t size = kept + static_cast<std::size_t>(n);
    const char* data = buf.data();
    std::size_t from = slash;
    while (!found && from < size) {
      const void* hit = std::memchr(data + from, '/', size - from);
      if (!hit) break;
      std::size_t at = static_cast<std::size_t>(static_cast<const char*>(hit) - data);
      from = at + 1;
      if (at - slash + needle.size() > size) break;  // completed by the next read
      found = g_ascii_strncasecmp(data + at - slash, needle.data(), needle.size()) == 0;
    }
    // A mention cut by the end of the buffer is found after the next read.
    kept = std::min(size, needle.size() - 1);
    std::memmove(buf.data(), data + size - kept, kept);
  }
  return found;
}

std::vector<std::string> HeaderBlock::Values(std::string_view name) const {
  std::vector<std::string> out;
  for (const auto& [n, v] : fields)
    if (n.size() == name.size() && g_ascii_strncasecmp(n.data(), name.data(), n.size()) == 0)
      out.push_back(v);
  return out;
}

std::string HeaderBlock::MessageId() const {
  auto all = Values("Message-ID");
  if (all.empty()) return "";
  return mime::DecodeMessageId(all.back());
}

namespace {

bool PlainNameChar(unsigned char c) {
  return c > 32 && c < 127 && c != ':';
}

std::string Trimmed(std::string v) {
  std::size_t b = v.find_first_not_of(" \t");
  if (b == std::string::npos) return "";
  std::size_t e = v.find_last_not_of(" \t");
  return v.substr(b, e - b + 1);
}

bool SameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && g_ascii_strncasecmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace

std::optional<HeaderBlock> ParseSimpleHeaderBlock(std::string_view text,
                                                  const std::vector<std::string_view>& only) {
  if (text.find('\0') != std::string_view::npos) return std::nullopt;
  HeaderBlock block;
  std::string value;
  bool open = false;  // the last field is kept and its value still being collected
  bool seen = false;  // a field line came before
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    std::string_view line =
        text.substr(pos, end == std::string_view::npos ? std::string_view::npos : end - pos);
    pos = end == std::string_view::npos ? text.size() : end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) break;  // the end of the header block
    // A lone CR inside a line is something GMime may read another way.
    if (line.find('\r') != std::string_view::npos) return std::nullopt;
    if (line[0] == ' ' || line[0] == '\t') {
      if (!seen) return std::nullopt;
      if (open) value.append(line);
      continue;
    }
    std::size_t colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0) return std::nullopt;
    for (std::size_t i = 0; i < colon; ++i)
      if (!PlainNameChar(static_cast<unsigned char>(line[i]))) return std::nullopt;
    if (open) block.fields.back().second = Trimmed(std::move(value));
    seen = true;
    std::string_view name = line.substr(0, colon);
    open = only.empty() || std::any_of(only.begin(), only.end(),
                                       [&](std::string_view w) { return SameName(w, name); });
    if (!open) continue;
    block.fields.emplace_back(std::string(name), std::string());
    value.assign(line.substr(colon + 1));
  }
  if (open) block.fields.back().second = Trimmed(std::move(value));
  return block;
}

HeaderText ReadHeaderText(int fd, std::size_t limit) {
  HeaderText out;
  std::string& text = out.text;
  char buf[16384];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return out;
    if (n == 0) {
      out.complete = true;  // a message of headers only
      return out;
    }
    std::size_t scanFrom = text.size() > 2 ? text.size() - 2 : 0;
    text.append(buf, static_cast<std::size_t>(n));
    std::size_t lf = text.find("\n\n", scanFrom);
    std::size_t crlf = text.find("\n\r\n", scanFrom);
    std::size_t cut = std::min(lf == std::string::npos ? std::string::npos : lf + 2,
                               crlf == std::string::npos ? std::string::npos : crlf + 3);
    if (cut != std::string::npos) {
      text.resize(cut);
      out.complete = cut <= limit;
      return out;
    }
    if (text.size() > limit) return out;
  }
}

std::optional<HeaderBlock> SimpleHeaderBlockOf(const HeaderText& header,
                                               const std::vector<std::string_view>& only,
                                               std::size_t limit) {
  if (!header.complete || header.text.size() > limit) return std::nullopt;
  return ParseSimpleHeaderBlock(header.text, only);
}

std::optional<HeaderBlock> ReadSimpleHeaderBlock(int fd, const std::vector<std::string_view>& only,
                                                 std::size_t limit) {
  return SimpleHeaderBlockOf(ReadHeaderText(fd, limit), only, limit);
}

}  // namespace stow::maildir::scan
