#include "base/time.h"

#include <ctime>

namespace tamber {
namespace {

std::string formatted(std::int64_t seconds, bool utc, const char* format) {
  const std::time_t time = static_cast<std::time_t>(seconds);
  std::tm parts{};
  if ((utc ? ::gmtime_r(&time, &parts) : ::localtime_r(&time, &parts)) == nullptr) {
    return {};
  }
  char text[128];
  return std::string(text, std::strftime(text, sizeof text, format, &parts));
}

}  // namespace

std::string localTimeText(WallClock::time_point time) {
  return localTimeText(static_cast<std::int64_t>(WallClock::to_time_t(time)));
}

std::string localTimeText(std::int64_t seconds) {
  return formatted(seconds, false, "%x %H:%M");
}

std::string utcTimeText(std::int64_t seconds) {
  return formatted(seconds, true, "%Y-%m-%dT%H:%M:%SZ");
}

}  // namespace tamber
