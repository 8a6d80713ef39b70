#pragma once
// Points HOME and XDG_DATA_HOME of a test process at a fresh folder of its own, so
// that the trash (and whatever else GLib finds per user) is never the user's. GLib
// reads them once per process: call it from a namespace-scope initializer of the
// test binary, before any test runs. The folder goes when the process ends.

#include <stdlib.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>

namespace stow::testing {

inline const std::string& UseScratchHome() {
  static std::string home;
  static const bool made = [] {
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/stow-home-XXXXXX";
    if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    home = tmpl;
    ::setenv("HOME", home.c_str(), 1);
    ::setenv("XDG_DATA_HOME", (home + "/.local/share").c_str(), 1);
    static const pid_t owner = ::getpid();
    std::atexit([] {
      std::error_code ec;
      // A forked child that exits normally must not take its parent's folder.
      if (::getpid() == owner) std::filesystem::remove_all(home, ec);
    });
    return true;
  }();
  (void)made;
  return home;
}

}  // namespace stow::testing
