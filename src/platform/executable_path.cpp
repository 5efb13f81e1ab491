#include "platform/executable_path.h"

#include <unistd.h>

#include <vector>

namespace tamber {

std::string ownExecutablePath() {
  // readlink does not say whether it truncated, so grow until the answer leaves room.
  std::vector<char> buffer(256);
  for (;;) {
    const ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (length < 0) {
      return std::string();
    }
    if (static_cast<size_t>(length) < buffer.size()) {
      return std::string(buffer.data(), static_cast<size_t>(length));
    }
    buffer.resize(buffer.size() * 2);
  }
}

}  // namespace tamber
