#pragma once
// Failures of the host program itself (a folder or item that does not exist, a
// malformed command line), as opposed to what the add-in reports through its
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
// Stopped by Ctrl-C (SIGINT) at the next safe step.
inline constexpr int kInterrupted = 130;
}  // namespace exitcode

class AppError : public std::runtime_error {
 public:
  AppError(int code, const std::string& message) : std::runtime_error(message), code_(code) {}
  int code() const { return code_; }

 private:
  int code_;
};

}  // namespace stow::app
