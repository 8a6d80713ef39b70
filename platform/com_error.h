#pragma once
// The one exception type of the system. A failing host, platform or add-in call
// throws ComError carrying a 32-bit number, a description and a source, the way
// the mail client's object model reports failures. Routines trap it either to
// report it through HandleError (Trap) or to skip a step that may harmlessly fail
// (IgnoreErrors).

#include <cstdint>
#include <exception>
#include <stdexcept>
#include <string>
#include <utility>

namespace stow {

// Numbers used across the system.
namespace errnum {
inline constexpr std::int32_t kInvalidProcedureCall = 5;
inline constexpr std::int32_t kObjectRequired = 424;
inline constexpr std::int32_t kObjectVariableNotSet = 91;
inline constexpr std::int32_t kKeyAlreadyInCollection = 457;
inline constexpr std::int32_t kCannotCreateObject = 429;
inline constexpr std::int32_t kFileNotFound = 53;
inline constexpr std::int32_t kPermissionDenied = 70;
inline constexpr std::int32_t kPathNotFound = 76;
inline constexpr std::int32_t kFileAlreadyExists = 58;
inline constexpr std::int32_t kDiskFull = 61;
inline constexpr std::int32_t kOverflow = 6;
inline constexpr std::int32_t kTypeMismatch = 13;
inline constexpr std::int32_t kSubscriptOutOfRange = 9;
// The host's "item is in conflict" exception code.
inline constexpr std::int32_t kItemInConflict = static_cast<std::int32_t>(0x80020009u);
inline constexpr std::int32_t kFail = static_cast<std::int32_t>(0x80004005u);
inline constexpr std::int32_t kAccessDenied = static_cast<std::int32_t>(0x80070005u);
// The item or window the caller holds has gone away.
inline constexpr std::int32_t kObjectGone = static_cast<std::int32_t>(0x8004010Fu);
}  // namespace errnum

class ComError : public std::runtime_error {
 public:
  ComError(std::int32_t number, std::string source, std::string description, int line = 0)
      : std::runtime_error(description),
        number_(number),
        source_(std::move(source)),
        description_(std::move(description)),
        line_(line) {}

  std::int32_t Number() const { return number_; }
  const std::string& Source() const { return source_; }
  const std::string& Description() const { return description_; }
  // Line of the statement that raised it, 0 when unknown.
  int Line() const { return line_; }

 private:
  std::int32_t number_;
  std::string source_;
  std::string description_;
  int line_;
};

// The line of the statement that raises is recorded for the error report.
// (__builtin_LINE rather than std::source_location: the fuzzing compiler's library
// has no source_location.)
[[noreturn]] inline void Raise(std::int32_t number, std::string source, std::string description,
                               int line = __builtin_LINE()) {
  throw ComError(number, std::move(source), std::move(description), line);
}

// Turns whatever is in flight into a ComError, so that library exceptions
// (std::filesystem, bad_alloc, ...) are trapped like any other runtime error.
inline ComError CurrentError() {
  try {
    throw;
  } catch (const ComError& e) {
    return e;
  } catch (const std::exception& e) {
    return ComError(errnum::kFail, "Stowbright", e.what());
  } catch (...) {
    return ComError(errnum::kFail, "Stowbright", "Unknown error");
  }
}

// Runs a step whose failure is harmless. Returns the error it raised, if any,
// so that a caller can still look at the number (as for 0x80020009 and 457).
template <class F>
inline std::int32_t IgnoreErrors(F&& step) {
  try {
    std::forward<F>(step)();
    return 0;
  } catch (...) {
    return CurrentError().Number();
  }
}

// Same, keeping the error's description in `why`, for a failure the user must be told.
template <class F>
inline std::int32_t IgnoreErrors(F&& step, std::string& why) {
  try {
    std::forward<F>(step)();
    return 0;
  } catch (...) {
    ComError e = CurrentError();
    why = e.Description();
    return e.Number();
  }
}

// Same, returning the value the step produced or `fallback` when it failed.
template <class T, class F>
inline T ValueOr(T fallback, F&& step) {
  try {
    return std::forward<F>(step)();
  } catch (...) {
    return fallback;
  }
}

}  // namespace stow
