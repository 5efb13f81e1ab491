#pragma once

#include <string>

namespace tamber {

// The absolute path of the running executable, as the kernel knows it. Returns an empty
// string, with errno left as the failing call set it, when the path cannot be read.
// Any thread.
std::string ownExecutablePath();

}  // namespace tamber
