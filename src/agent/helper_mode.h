#pragma once

#include <chrono>
#include <string>

#include "base/reply.h"

namespace tamber {

// The flag that starts the privileged helper; the next argument is its request.
inline constexpr const char* kPrivilegedOpFlag = "--privileged-op";

// The whole run of one helper is bounded; at the bound the process ends with this status and
// without output.
inline constexpr std::chrono::seconds kHelperTimeLimit{45};
inline constexpr int kHelperTimeLimitStatus = 124;

// Ends the whole process with `status`, at once and without flushing anything, when `limit`
// has passed, whatever any thread is doing then. Arms a detached thread; cannot be disarmed.
void armProcessTimeLimit(std::chrono::milliseconds limit, int status);

// The helper's checks and its one action, without the process around them: returns the
// action's reply, or throws the BrokerFailure (or the parser's error text as one) of the
// first check that fails. The root check uses the effective user id of this process.
Json privilegedHelperReply(const std::string& helperRequest);

// The privileged helper: performs the one action that `helperRequest` (Base64 of the request
// object with the grant's roots, identities, edit right and expiry) describes, after checking
// that it runs as root and re-validating the grant as a new grant store would. Writes exactly
// one JSON line to standard output, nothing to standard error, and ends the process: status 0
// with the action's reply, 1 with {"error": ..., "ok": false}, 124 with no output after
// kHelperTimeLimit. Never returns; the main thread only.
[[noreturn]] void runPrivilegedHelper(const std::string& helperRequest);

}  // namespace tamber
