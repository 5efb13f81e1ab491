#pragma once

#include <string>
#include <vector>

#include "engine/command_line.h"

namespace tamber::engine {

// Runs the command of `line` and returns larkspan's exit status: 0 done, 1 failed, 2 the
// command line or its input was wrong. Each command writes its result on standard output and
// its complaints, as one sentence after "larkspan: ", on standard error. `program` is argv[0],
// used only when the system cannot tell where the running executable is. Every command but
// "invite" first readies the data directory (prepareDataDirectory: serve and index create
// it) and fails with 1 when it is a link or another user's. "serve" must be run before any
// other thread exists.
int runCommand(const CommandLine& line, const std::string& program);

// A whole run of larkspan with `arguments` (those after the program's name): the command line
// parsed (a usage error gives status 2 and the usage text), then runCommand. With "--json",
// every run but serve and mcp prints one JSON object on standard output, a failure that
// printed nothing there included: {"error": its first complaint}.
int runLarkspan(const std::vector<std::string>& arguments, const std::string& program);

}  // namespace tamber::engine
