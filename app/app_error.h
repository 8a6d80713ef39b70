#pragma once
// Failures of the host program itself (a folder or item that does not exist, a piece
// of the add-in this build lacks), as opposed to what the add-in reports through its
// own message boxes. Each carries the exit code the program ends with.

#include <stdexcept>
#include <string>

namespace stow::app {

namespace exitcode {
inline constexpr int kOk = 0;
// The command ran but could not do all that was asked (an item left unchanged, a
// question answered No, a batch cancelled).
inline constexpr int kFailed = 1;
// The command line named something that does not exist, or was malformed; nothing
// was changed.
inline constexpr int kUsage = 2;
// The command needs a part of the add-in this build does not have.
inline constexpr int kUnavailable = 3;
}  // namespace exitcode

class AppError : public std::runtime_error {
 public:
  AppError(int code, const std::string& message) : std::runtime_error(message), code_(code) {}
  int code() const { return code_; }

 private:
  int code_;
};

[[noreturn]] inline void NotAvailable(const std::string& what) {
  throw AppError(exitcode::kUnavailable, what + " is not available in this build");
}

}  // namespace stow::app
