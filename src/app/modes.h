#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tamber {

// The value that follows the first argument equal to `name` in `arguments` (the executable's
// own path at index 0 included), unchanged even when it looks like another flag; nothing when
// `name` is absent or is the last argument.
std::optional<std::string> arg(const std::vector<std::string>& arguments, std::string_view name);

// Runs the mode the command line selects and returns the process's exit status (the helper
// mode never returns: it ends the process itself):
//  - "--version" as the only argument: "tamber VERSION" and a newline on standard output, 0;
//  - "--privileged-op REQUEST": the privileged helper (takes precedence);
//  - "--self-test ROOT": the broker self-test; 0 after its report, 1 with the failure's text
//    and a newline on standard error;
//  - otherwise the desktop application.
int runSelectedMode(const std::vector<std::string>& arguments);

}  // namespace tamber
