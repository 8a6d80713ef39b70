#pragma once
// Values of the host's late-bound world: user property values, attachment fields
// and dates, kept as a small variant instead of a COM VARIANT.

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

namespace stow {

// A civil date and time in the user's local time zone, as the host shows it.
struct DateTime {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  bool operator==(const DateTime&) const = default;
  bool Valid() const { return year > 0 && month >= 1 && month <= 12 && day >= 1 && day <= 31; }
  // Local time of a Unix time; the inverse of ToUnix.
  static DateTime FromUnix(std::int64_t seconds);
  std::int64_t ToUnix() const;
  // The host's "no date" value.
  static DateTime None() { return DateTime{4501, 1, 1, 0, 0, 0}; }
};

struct Empty {
  bool operator==(const Empty&) const = default;
};

using Value = std::variant<Empty, std::string, std::int32_t, double, bool, DateTime>;

inline bool IsEmpty(const Value& v) {
  return std::holds_alternative<Empty>(v);
}

// Conversions with the late-bound language's rules: CStr, CLng, CBool, CDate.
// The To* functions raise ComError (type mismatch) when the value does not convert.
std::string ToText(const Value& v);
std::int32_t ToLong(const Value& v);
bool ToBool(const Value& v);
DateTime ToDate(const Value& v);
double ToDouble(const Value& v);
bool IsNumeric(const Value& v);
bool IsDate(const Value& v);

// Parses a whole decimal integer with optional sign and surrounding blanks.
std::optional<std::int64_t> ParseInteger(const std::string& text);

}  // namespace stow
