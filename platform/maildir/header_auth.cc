#include "platform/maildir/header_auth.h"

#include <fcntl.h>
#include <glib.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "platform/com_error.h"

namespace stow::maildir {

namespace {

constexpr const char* kSource = "Maildir store";

std::string ReadWhole(int fd) {
  std::string s;
  char buf[256];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    s.append(buf, static_cast<std::size_t>(n));
  }
  return s;
}

std::string Trimmed(std::string s) {
  while (!s.empty() && g_ascii_isspace(s.back())) s.pop_back();
  return s;
}

}  // namespace

std::string HeaderAuth::DefaultPath() {
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  std::string base = xdg && *xdg ? xdg : std::string(g_get_home_dir()) + "/.config";
  return base + "/stowbright/maildir-secret";
}

std::optional<HeaderAuth> HeaderAuth::Load(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0 && errno == ENOENT) return std::nullopt;
  if (fd < 0)
    Raise(errnum::kPermissionDenied, kSource,
          "Cannot read the store secret " + path + ": " + std::strerror(errno));
  std::string key = Trimmed(ReadWhole(fd));
  close(fd);
  if (key.size() < 32) Raise(errnum::kFail, kSource, "The store secret " + path + " is too short");
  return HeaderAuth(key);
}

HeaderAuth HeaderAuth::Create(const std::string& path) {
  std::error_code ec;
  auto dir = std::filesystem::path(path).parent_path();
  if (!dir.empty() && !std::filesystem::exists(dir, ec)) {
    std::filesystem::create_directories(dir, ec);
    if (!ec) chmod(dir.c_str(), 0700);
  }
  unsigned char raw[32];
  std::size_t got = 0;
  while (got < sizeof raw) {
    ssize_t n = getrandom(raw + got, sizeof raw - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) Raise(errnum::kFail, kSource, "Cannot create the store secret: no random bytes");
    got += static_cast<std::size_t>(n);
  }
  std::string hex;
  for (unsigned char b : raw) {
    char h[3];
    std::snprintf(h, sizeof h, "%02x", b);
    hex += h;
  }
  hex += "\n";
  // Written aside and linked into place, so a concurrent first use by another
  // process ends with one secret both of them read.
  std::string tmp = path + ".tmp." + std::to_string(getpid());
  int w = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (w < 0)
    Raise(errnum::kPathNotFound, kSource,
          "Cannot create the store secret " + path + ": " + std::strerror(errno));
  bool ok = write(w, hex.data(), hex.size()) == static_cast<ssize_t>(hex.size()) && fsync(w) == 0;
  close(w);
  if (ok) {
    if (link(tmp.c_str(), path.c_str()) != 0 && errno != EEXIST) ok = false;
  }
  unlink(tmp.c_str());
  if (!ok) Raise(errnum::kFail, kSource, "Cannot write the store secret " + path);
  auto made = Load(path);
  if (!made) Raise(errnum::kFail, kSource, "The store secret " + path + " vanished as it was made");
  return *made;
}

HeaderAuth::HeaderAuth(std::string key)
    : key_(std::move(key)),
      keyed_(
          g_hmac_new(G_CHECKSUM_SHA256, reinterpret_cast<const guchar*>(key_.data()), key_.size()),
          g_hmac_unref) {
  keyId_ = Sign({"stowbright key id"}).substr(0, 16);
}

std::string HeaderAuth::Sign(const std::vector<std::string_view>& fields) const {
  GHmac* hmac = g_hmac_copy(keyed_.get());
  bool first = true;
  for (auto f : fields) {
    if (!first) g_hmac_update(hmac, reinterpret_cast<const guchar*>("\0"), 1);
    first = false;
    // Each field is length-prefixed as well, so that no two field lists (one
    // containing a NUL) can ever produce the same input.
    std::string len = std::to_string(f.size()) + ":";
    g_hmac_update(hmac, reinterpret_cast<const guchar*>(len.data()),
                  static_cast<gssize>(len.size()));
    g_hmac_update(hmac, reinterpret_cast<const guchar*>(f.data()), static_cast<gssize>(f.size()));
  }
  std::string out = g_hmac_get_string(hmac);
  g_hmac_unref(hmac);
  return out;
}

bool HeaderAuth::Verify(const std::vector<std::string_view>& fields, std::string_view mac) const {
  std::string expected = Sign(fields);
  if (mac.size() != expected.size()) return false;
  unsigned char diff = 0;
  for (std::size_t i = 0; i < mac.size(); ++i)
    diff |= static_cast<unsigned char>(g_ascii_tolower(mac[i]) ^ expected[i]);
  return diff == 0;
}

}  // namespace stow::maildir
