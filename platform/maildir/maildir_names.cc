#include "platform/maildir/maildir_names.h"

#include <glib.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <ctime>

#include "platform/maildir/store_util.h"

namespace stow::maildir {

MaildirFileName MaildirFileName::Parse(std::string_view fileName) {
  MaildirFileName n;
  std::string_view base = fileName;
  if (auto colon = fileName.find(':'); colon != std::string_view::npos) {
    n.info = std::string(fileName.substr(colon + 1));
    base = fileName.substr(0, colon);
  }
  auto comma = base.find(',');
  n.unique = std::string(base.substr(0, comma));
  while (comma != std::string_view::npos) {
    auto next = base.find(',', comma + 1);
    std::string_view field = base.substr(
        comma + 1, next == std::string_view::npos ? std::string_view::npos : next - comma - 1);
    if (!field.empty()) n.fields.emplace_back(field);
    comma = next;
  }
  return n;
}

std::string MaildirFileName::ToString() const {
  std::string s = unique;
  for (const auto& f : fields) s += "," + f;
  if (info) s += ":" + *info;
  return s;
}

bool MaildirFileName::HasField(char key) const {
  for (const auto& f : fields)
    if (f.size() >= 2 && f[0] == key && f[1] == '=') return true;
  return false;
}

std::string RewrittenFileName(const MaildirFileName& old, const std::string& newUnique,
                              std::int64_t newSize) {
  MaildirFileName n;
  n.unique = newUnique;
  if (old.HasField('S')) n.fields.push_back("S=" + std::to_string(newSize));
  n.info = old.info;
  return n.ToString();
}

namespace {

// This host's name as a unique name carries it.
std::string HostPart() {
  char host[256] = "localhost";
  gethostname(host, sizeof host - 1);
  host[sizeof host - 1] = '\0';
  // '/' and ':' cannot appear in a file name or before the info; ',' would start
  // a field. The Maildir convention writes them as octal escapes.
  std::string safeHost;
  for (const char* p = host; *p; ++p) {
    if (*p == '/')
      safeHost += "\\057";
    else if (*p == ':')
      safeHost += "\\072";
    else if (*p == ',')
      safeHost += "\\054";
    else
      safeHost += *p;
  }
  return safeHost;
}

}  // namespace

std::string NewUniqueName(std::int64_t deliverySeconds) {
  static std::atomic<unsigned> counter{0};
  struct timeval tv {};
  gettimeofday(&tv, nullptr);
  std::string safeHost = HostPart();
  char buf[512];
  std::snprintf(buf, sizeof buf, "%lld.M%ldP%ldQ%uR%08x.%s",
                static_cast<long long>(deliverySeconds), static_cast<long>(tv.tv_usec),
                static_cast<long>(getpid()), ++counter, g_random_int(), safeHost.c_str());
  return buf;
}

long WriterPidOfUnique(std::string_view unique) {
  std::string host = HostPart();
  std::size_t m = unique.find(".M");
  if (m == std::string_view::npos || m == 0 || host.empty()) return 0;
  for (std::size_t i = 0; i < m; ++i)
    if (unique[i] < '0' || unique[i] > '9') return 0;
  std::size_t p = unique.find('P', m);
  std::size_t q = p == std::string_view::npos ? p : unique.find('Q', p);
  std::size_t r = q == std::string_view::npos ? q : unique.find('R', q);
  std::size_t dot = r == std::string_view::npos ? r : unique.find('.', r);
  if (dot == std::string_view::npos || unique.substr(dot + 1) != host) return 0;
  std::string_view pid = unique.substr(p + 1, q - p - 1);
  if (pid.empty() || pid.size() > 9 ||
      pid.find_first_not_of("0123456789") != std::string_view::npos)
    return 0;
  return std::stol(std::string(pid));
}

std::optional<std::int64_t> DeliveryTimeOfUnique(std::string_view unique) {
  std::int64_t v = 0;
  std::size_t i = 0;
  for (; i < unique.size() && i < 12 && unique[i] >= '0' && unique[i] <= '9'; ++i)
    v = v * 10 + (unique[i] - '0');
  if (i == 0 || i >= unique.size() || unique[i] != '.') return std::nullopt;
  // Older than 1990 or more than a day ahead is not a delivery time.
  if (v < 631152000 || v > static_cast<std::int64_t>(std::time(nullptr)) + 86400)
    return std::nullopt;
  return v;
}

std::string DecodeModifiedUtf7(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '&') {
      out += text[i];
      continue;
    }
    auto end = text.find('-', i + 1);
    if (end == std::string_view::npos) {  // not valid: keep the text as it is
      out.append(text.substr(i));
      break;
    }
    if (end == i + 1) {
      out += '&';
      i = end;
      continue;
    }
    std::string b64(text.substr(i + 1, end - i - 1));
    for (auto& c : b64)
      if (c == ',') c = '/';
    while (b64.size() % 4) b64 += '=';
    std::string raw = DecodeBase64(b64);
    std::vector<gunichar2> units;
    for (std::size_t k = 0; k + 1 < raw.size(); k += 2)
      units.push_back(static_cast<gunichar2>((static_cast<unsigned char>(raw[k]) << 8) |
                                             static_cast<unsigned char>(raw[k + 1])));
    gchar* utf8 =
        g_utf16_to_utf8(units.data(), static_cast<glong>(units.size()), nullptr, nullptr, nullptr);
    if (utf8) {
      out += utf8;
      g_free(utf8);
    } else {
      out.append(text.substr(i, end - i + 1));
    }
    i = end;
  }
  return out;
}

std::string EncodeModifiedUtf7(std::string_view utf8) {
  std::string out;
  std::size_t i = 0;
  auto printable = [](unsigned char c) { return c >= 0x20 && c <= 0x7e; };
  while (i < utf8.size()) {
    unsigned char c = static_cast<unsigned char>(utf8[i]);
    if (printable(c)) {
      out += c == '&' ? std::string("&-") : std::string(1, static_cast<char>(c));
      ++i;
      continue;
    }
    std::size_t j = i;
    while (j < utf8.size() && !printable(static_cast<unsigned char>(utf8[j]))) ++j;
    glong n = 0;
    gunichar2* units =
        g_utf8_to_utf16(utf8.data() + i, static_cast<glong>(j - i), nullptr, &n, nullptr);
    std::string be;
    for (glong k = 0; units && k < n; ++k) {
      be += static_cast<char>(units[k] >> 8);
      be += static_cast<char>(units[k] & 0xff);
    }
    g_free(units);
    std::string enc = Base64(be);
    while (!enc.empty() && enc.back() == '=') enc.pop_back();
    for (auto& ch : enc)
      if (ch == '/') ch = ',';
    out += "&" + enc + "-";
    i = j;
  }
  return out;
}

std::vector<std::string> FolderNamesOfDirectory(std::string_view dirName) {
  std::vector<std::string> names;
  if (dirName.size() < 2 || dirName[0] != '.') return names;
  std::size_t start = 1;
  while (start <= dirName.size()) {
    auto dot = dirName.find('.', start);
    std::string_view part =
        dirName.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start);
    names.push_back(DecodeModifiedUtf7(part));
    if (dot == std::string_view::npos) break;
    start = dot + 1;
  }
  return names;
}

std::string DirectoryOfFolderNames(const std::vector<std::string>& names) {
  std::string dir;
  for (const auto& n : names) {
    std::string enc = EncodeModifiedUtf7(n);
    // '.' separates levels and '/' separates directories: neither can stay in a name.
    for (auto& c : enc)
      if (c == '.' || c == '/') c = '_';
    dir += "." + enc;
  }
  return dir;
}

bool InfoHasFlag(const std::optional<std::string>& info, char flag) {
  if (!info || info->rfind("2,", 0) != 0) return false;
  return info->find(flag, 2) != std::string::npos;
}

}  // namespace stow::maildir
