#pragma once

#include <string>

namespace tamber::engine {

// The general part of an invitation for an AI agent: how to read the inventory, and how to
// use the file broker with a capability that the desktop app appends below this text (its
// token as an "export TAMBER_GRANT=..." line, its scope and rights). It names the engine by
// the absolute paths `executable` and `dataDir`, shell-quoted, because an agent's shell does
// not have larkspan on its PATH. Ends without a line feed.
std::string invitationText(const std::string& executable, const std::string& dataDir);

}  // namespace tamber::engine
