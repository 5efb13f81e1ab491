#include "platform/elevation.h"

#include <cassert>

namespace tamber {

std::vector<std::string> administratorCommand(const std::vector<std::string>& command) {
  // pkexec takes its own options only before the program path, and the program path starts
  // with "/", so nothing the caller passes after it can be read as a pkexec option.
  assert(!command.empty() && command.front().starts_with('/'));
  std::vector<std::string> argv{"/usr/bin/pkexec"};
  argv.insert(argv.end(), command.begin(), command.end());
  return argv;
}

}  // namespace tamber
