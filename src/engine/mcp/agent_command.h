#pragma once

#include <string>

namespace tamber::engine {

// larkspan agent: sends `requestText` (one JSON object; "-" reads it from standard input,
// where no other local user can see it) with the token of TAMBER_GRANT to the broker's
// socket in the data directory `dataDir` (absolute) and prints the reply object (compact with
// `json`, indented otherwise). Returns 0 for every reply the broker gives, 1 when it cannot be
// reached or gives none, 2 when the request or the grant is malformed; complaints go to
// standard error as one sentence after "larkspan: ".
int runAgent(const std::string& dataDir, const std::string& requestText, bool json);

}  // namespace tamber::engine
