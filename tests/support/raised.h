// What a piece of code raises, for the tests' expectations.
#pragma once

#include <string>

#include "engine/failure.h"

namespace ferrux::testing {

// "<class>: <message>" of the failure `action` raises, or "" when none.
template <class Action>
std::string Raised(Action action) {
  try {
    action();
  } catch (...) {
    const engine::Failure failure = engine::CurrentFailure();
    return failure.class_name() + ": " + failure.message();
  }
  return "";
}

}  // namespace ferrux::testing
