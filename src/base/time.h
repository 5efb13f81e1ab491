#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace tamber {

using WallClock = std::chrono::system_clock;

// `at` in seconds since 1970-01-01 00:00:00 UTC, with the fraction. Whole seconds and the
// rest are converted apart, so that a time such as x.25 s is written as exactly that.
inline double epochSeconds(WallClock::time_point at) {
  const auto whole = std::chrono::floor<std::chrono::seconds>(at.time_since_epoch());
  const auto rest = at.time_since_epoch() - whole;
  return static_cast<double>(whole.count()) + std::chrono::duration<double>(rest).count();
}

// `time` as people read it everywhere Tamber shows one (invitations, dialogs, the page):
// the user's locale's numeric date and a short time, "%x %H:%M", in this computer's time
// zone. Empty when the time cannot be converted.
std::string localTimeText(WallClock::time_point time);

// The same for a Unix time in seconds.
std::string localTimeText(std::int64_t seconds);

// A Unix time in seconds as UTC in ISO 8601, "2026-12-06T22:55:41Z", for machines.
std::string utcTimeText(std::int64_t seconds);

}  // namespace tamber
