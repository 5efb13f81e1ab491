#pragma once

#include <string>

namespace tamber::engine {

// The general part of an invitation for an AI agent: how to read the inventory, and how to
// use the file broker with a capability that the desktop app appends below this text (its
// token as an "export TAMBER_GRANT=..." line, its scope and rights). It names the engine by
// the absolute paths `executable` and `dataDir`, shell-quoted, because an agent's shell does
// not have larkspan on its PATH. Ends without a line feed.
std::string invitationGuide(const std::string& executable, const std::string& dataDir);

// The absolute path of the running larkspan, for command lines that others will run;
// `program` (argv[0]) stands in when the system cannot tell.
std::string engineExecutable(const std::string& program);

}  // namespace tamber::engine
