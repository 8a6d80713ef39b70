#pragma once
// <regex> for the tests: GCC 12 reports a false -Wmaybe-uninitialized inside it in
// optimised builds (clang has no such warning and would warn about the pragma).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include <regex>
