#pragma once

#include <string>

namespace tamber::engine {

// larkspan mcp: a Model Context Protocol server on standard input and output whose tools are
// the broker's actions (sent as the agent command sends them, to the broker of the data
// directory `dataDir`, absolute) and the inventory; with `readOnly` only those that change
// nothing. Returns 0 when its input ends, 1 when its output breaks.
int runMcp(const std::string& dataDir, bool readOnly);

}  // namespace tamber::engine
