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
  return BrokerFailure(errnoText(errorNumber));
}

std::string errnoText(int errorNumber) {
  // strerror is not thread-safe; the GNU strerror_r returns the text it chose to use.
  char buffer[256];
  return ::strerror_r(errorNumber, buffer, sizeof buffer);
}

}  // namespace tamber
