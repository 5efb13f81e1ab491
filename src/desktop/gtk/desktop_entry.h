#pragma once

#include <string>
#include <vector>

namespace tamber::desktop {

// Runs the desktop application with the process's command line (`arguments[0]` is the
// executable) and returns the exit status: 0 after a normal run, 1 when no display can be
// opened or the launch failed. Call once, on the main thread.
int runDesktop(const std::vector<std::string>& arguments);

}  // namespace tamber::desktop
