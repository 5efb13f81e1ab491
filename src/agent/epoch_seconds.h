#pragma once

#include <chrono>

#include "access/grant.h"

namespace tamber {

// `at` in seconds since 1970-01-01 00:00:00 UTC, with the fraction. Whole seconds and the
// rest are converted apart, so that a time such as x.25 s is written as exactly that.
inline double epochSeconds(WallClock::time_point at) {
  const auto whole = std::chrono::floor<std::chrono::seconds>(at.time_since_epoch());
  const auto rest = at.time_since_epoch() - whole;
  return static_cast<double>(whole.count()) + std::chrono::duration<double>(rest).count();
}

}  // namespace tamber
