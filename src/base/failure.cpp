#include "base/failure.h"

#include <cerrno>
#include <cstring>

namespace tamber {

void require(bool condition, std::string_view message) {
  if (!condition) {
    throw BrokerFailure(std::string(message));
  }
}

BrokerFailure errnoFailure() {
  return errnoFailure(errno);
}

BrokerFailure errnoFailure(int errorNumber) {
  // strerror is not thread-safe; the GNU strerror_r returns the text it chose to use.
  char buffer[256];
  const char* text = ::strerror_r(errorNumber, buffer, sizeof buffer);
  return BrokerFailure(text);
}

}  // namespace tamber
