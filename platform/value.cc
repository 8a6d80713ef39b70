#include "platform/value.h"

#include <glib.h>

#include <cctype>
#include <cmath>
#include <cstdio>
#include <ctime>

#include "platform/com_error.h"

namespace stow {

namespace {

[[noreturn]] void TypeMismatch() {
  Raise(errnum::kTypeMismatch, "Stowbright", "Type mismatch");
}

std::string Trim(const std::string& s) {
  std::size_t b = 0, e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return s.substr(b, e - b);
}

std::optional<double> ParseNumber(const std::string& text) {
  std::string t = Trim(text);
  if (t.empty()) return std::nullopt;
  char* end = nullptr;
  double d = g_ascii_strtod(t.c_str(), &end);
  if (end == nullptr || *end != '\0') return std::nullopt;
  if (!std::isfinite(d)) return std::nullopt;
  return d;
}

// Accepts the forms the add-in writes and reads: yyyy-mm-dd[ hh:mm:ss] and m/d/yyyy.
std::optional<DateTime> ParseDate(const std::string& text) {
  std::string t = Trim(text);
  DateTime d;
  int n = 0;
  if (std::sscanf(t.c_str(), "%d-%d-%d %d:%d:%d%n", &d.year, &d.month, &d.day, &d.hour, &d.minute,
                  &d.second, &n) == 6 &&
      n == static_cast<int>(t.size()))
    return d.Valid() ? std::optional(d) : std::nullopt;
  d = DateTime{};
  if (std::sscanf(t.c_str(), "%d-%d-%d%n", &d.year, &d.month, &d.day, &n) == 3 &&
      n == static_cast<int>(t.size()))
    return d.Valid() ? std::optional(d) : std::nullopt;
  d = DateTime{};
  if (std::sscanf(t.c_str(), "%d/%d/%d%n", &d.month, &d.day, &d.year, &n) == 3 &&
      n == static_cast<int>(t.size()))
    return d.Valid() ? std::optional(d) : std::nullopt;
  return std::nullopt;
}

std::int32_t RoundToLong(double d) {
  double r = std::nearbyint(d);  // banker's rounding under the default mode
  if (r < -2147483648.0 || r > 2147483647.0) Raise(errnum::kOverflow, "Stowbright", "Overflow");
  return static_cast<std::int32_t>(r);
}

}  // namespace

DateTime DateTime::FromUnix(std::int64_t seconds) {
  std::time_t t = static_cast<std::time_t>(seconds);
  std::tm tm{};
  localtime_r(&t, &tm);
  return DateTime{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
}

std::int64_t DateTime::ToUnix() const {
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  tm.tm_isdst = -1;
  return static_cast<std::int64_t>(std::mktime(&tm));
}

std::optional<std::int64_t> ParseInteger(const std::string& text) {
  std::string t = Trim(text);
  if (t.empty()) return std::nullopt;
  std::size_t i = 0;
  bool neg = false;
  if (t[0] == '+' || t[0] == '-') {
    neg = t[0] == '-';
    i = 1;
  }
  if (i >= t.size()) return std::nullopt;
  std::int64_t v = 0;
  for (; i < t.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(t[i]))) return std::nullopt;
    if (v > (INT64_MAX - 9) / 10) return std::nullopt;
    v = v * 10 + (t[i] - '0');
  }
  return neg ? -v : v;
}

std::string ToText(const Value& v) {
  struct V {
    std::string operator()(const Empty&) const { return ""; }
    std::string operator()(const std::string& s) const { return s; }
    std::string operator()(std::int32_t i) const { return std::to_string(i); }
    std::string operator()(double d) const {
      char buf[G_ASCII_DTOSTR_BUF_SIZE];
      if (d == std::floor(d) && std::fabs(d) < 1e15)
        return std::to_string(static_cast<long long>(d));
      return g_ascii_formatd(buf, sizeof buf, "%.15g", d);
    }
    std::string operator()(bool b) const { return b ? "True" : "False"; }
    std::string operator()(const DateTime& d) const {
      char buf[32];
      std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", d.year, d.month, d.day,
                    d.hour, d.minute, d.second);
      return buf;
    }
  };
  return std::visit(V{}, v);
}

double ToDouble(const Value& v) {
  if (IsEmpty(v)) return 0;
  if (auto* s = std::get_if<std::string>(&v)) {
    if (auto d = ParseNumber(*s)) return *d;
    std::string t = Trim(*s);
    if (g_ascii_strcasecmp(t.c_str(), "true") == 0) return -1;
    if (g_ascii_strcasecmp(t.c_str(), "false") == 0) return 0;
    TypeMismatch();
  }
  if (auto* i = std::get_if<std::int32_t>(&v)) return *i;
  if (auto* d = std::get_if<double>(&v)) return *d;
  if (auto* b = std::get_if<bool>(&v)) return *b ? -1 : 0;
  TypeMismatch();
}

std::int32_t ToLong(const Value& v) {
  return RoundToLong(ToDouble(v));
}

bool ToBool(const Value& v) {
  if (auto* b = std::get_if<bool>(&v)) return *b;
  if (std::holds_alternative<DateTime>(v)) TypeMismatch();
  return ToDouble(v) != 0;
}

DateTime ToDate(const Value& v) {
  if (auto* d = std::get_if<DateTime>(&v)) return *d;
  if (auto* s = std::get_if<std::string>(&v)) {
    if (auto d = ParseDate(*s)) return *d;
  }
  TypeMismatch();
}

bool IsNumeric(const Value& v) {
  if (std::holds_alternative<std::int32_t>(v) || std::holds_alternative<double>(v) ||
      std::holds_alternative<bool>(v) || IsEmpty(v))
    return true;
  if (auto* s = std::get_if<std::string>(&v)) return ParseNumber(*s).has_value();
  return false;
}

bool IsDate(const Value& v) {
  if (std::holds_alternative<DateTime>(v)) return true;
  if (auto* s = std::get_if<std::string>(&v)) return ParseDate(*s).has_value();
  return false;
}

}  // namespace stow
