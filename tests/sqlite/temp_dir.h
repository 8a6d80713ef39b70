#pragma once
// A fresh folder per test under $TMPDIR (or /tmp), removed with everything in it.

#include <stdlib.h>

#include <filesystem>
#include <string>

namespace stow::testing_sqlite {

class TempDir {
 public:
  TempDir() {
    const char* base = getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/stow-sqlite-XXXXXX";
    if (!mkdtemp(pattern.data())) pattern.clear();
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

}  // namespace stow::testing_sqlite
