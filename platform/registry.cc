#include "platform/registry.h"

#include <glib.h>

namespace stow::platform {

std::string FoldRegistryName(const std::string& s) {
  if (g_utf8_validate(s.data(), static_cast<gssize>(s.size()), nullptr)) {
    gchar* f = g_utf8_casefold(s.data(), static_cast<gssize>(s.size()));
    std::string out(f);
    g_free(f);
    return out;
  }
  std::string out = s;
  for (char& c : out) c = g_ascii_tolower(c);
  return out;
}

std::vector<std::string> KeyPathComponents(const std::string& path) {
  std::vector<std::string> parts;
  std::string part;
  for (char c : path) {
    if (c == '\\') {
      if (!part.empty()) parts.push_back(std::move(part));
      part.clear();
    } else {
      part.push_back(c);
    }
  }
  if (!part.empty()) parts.push_back(std::move(part));
  return parts;
}

std::string JoinKeyPath(const std::vector<std::string>& parts, std::size_t count) {
  std::string out;
  for (std::size_t i = 0; i < count; ++i) {
    if (i) out.push_back('\\');
    out += parts[i];
  }
  return out;
}

std::string Utf8ToUtf16Bytes(const std::string& utf8) {
  glong written = 0;
  gunichar2* w =
      g_utf8_to_utf16(utf8.data(), static_cast<glong>(utf8.size()), nullptr, &written, nullptr);
  if (!w) return {};
  std::string out;
  out.reserve(static_cast<std::size_t>(written) * 2);
  for (glong i = 0; i < written; ++i) {
    out.push_back(static_cast<char>(w[i] & 0xFF));
    out.push_back(static_cast<char>(w[i] >> 8));
  }
  g_free(w);
  return out;
}

std::string Utf16BytesToUtf8(const std::string& bytes) {
  std::size_t n = bytes.size() / 2;
  std::u16string units(n, u'\0');
  for (std::size_t i = 0; i < n; ++i)
    units[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                     (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
  glong written = 0;
  gchar* s = g_utf16_to_utf8(reinterpret_cast<const gunichar2*>(units.data()),
                             static_cast<glong>(n), nullptr, &written, nullptr);
  if (!s) return {};
  std::string out(s, static_cast<std::size_t>(written));
  g_free(s);
  return out;
}

}  // namespace stow::platform
