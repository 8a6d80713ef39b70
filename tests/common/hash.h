#pragma once
// The hash tests name bytes by (it needs GLib only, so the tests that run the built
// program can use it too).

#include <glib.h>

#include <string>

namespace stow::testing {

// Lower-case hex SHA-256 of bytes.
inline std::string Sha256(const std::string& bytes) {
  gchar* hex = g_compute_checksum_for_data(
      G_CHECKSUM_SHA256, reinterpret_cast<const guchar*>(bytes.data()), bytes.size());
  std::string text = hex ? hex : "";
  g_free(hex);
  return text;
}

}  // namespace stow::testing
