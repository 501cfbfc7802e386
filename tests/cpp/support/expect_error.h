#pragma once

// Checks of "this call throws this exception with this message", shared by
// every test executable. Header-only: the templates are instantiated for each
// exception type where they are used.

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace kestrel::testing {

// What thrownMessage returns when the call returns normally.
inline const std::string kNothingThrown = "<nothing thrown>";

// The what() of the E that `call` throws, or kNothingThrown. An exception of
// another type escapes, and the test fails naming it.
template <typename E, typename Call>
std::string thrownMessage(Call&& call) {
  try {
    std::forward<Call>(call)();
  } catch (const E& error) {
    return error.what();
  }
  return kNothingThrown;
}

// `call` throws E whose what() is exactly `message`.
template <typename E, typename Call>
void expectError(Call&& call, const std::string& message) {
  EXPECT_EQ(thrownMessage<E>(std::forward<Call>(call)), message);
}

// `call` throws E whose what() starts with `prefix` (the rest names values
// that the caller need not spell out).
template <typename E, typename Call>
void expectErrorStartingWith(Call&& call, const std::string& prefix) {
  const std::string message = thrownMessage<E>(std::forward<Call>(call));
  EXPECT_EQ(message.rfind(prefix, 0), 0u) << "expected a message starting with: " << prefix << "\ngot: " << message;
}

}  // namespace kestrel::testing
