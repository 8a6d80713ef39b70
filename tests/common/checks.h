#pragma once
// The error a call raised, as every area's tests check it.

#include <gtest/gtest.h>

#include <cstdint>

#include "platform/com_error.h"

namespace stow::testing {

// Runs call and returns the ComError it raised; fails the test when it raised none.
template <class F>
ComError ErrorOf(F&& call) {
  try {
    call();
  } catch (const ComError& e) {
    return e;
  }
  ADD_FAILURE() << "no error raised";
  return ComError(0, "", "");
}

// The number of the error call raised; 0 when it raised none.
template <class F>
std::int32_t ErrorNumberOf(F&& call) {
  try {
    call();
  } catch (const ComError& e) {
    return e.Number();
  }
  return 0;
}

}  // namespace stow::testing
