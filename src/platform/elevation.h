#pragma once

#include <string>
#include <vector>

namespace tamber {

// The launcher's exit status when the person dismissed the authentication dialog. (Being
// refused authorisation, or having no authentication agent, is 127: a launch failure.)
inline constexpr int kAuthorizationRefusedStatus = 126;

// The argument vector that runs `command` as root once an administrator has authorised it:
// the system's authorisation launcher (pkexec), then `command` unchanged. `command[0]` must
// be an absolute path. No shell is involved, so no argument is ever re-parsed.
std::vector<std::string> administratorCommand(const std::vector<std::string>& command);

}  // namespace tamber
