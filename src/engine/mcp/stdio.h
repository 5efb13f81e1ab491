#pragma once

#include <chrono>

#include "engine/mcp/session.h"

namespace tamber::engine::mcp {

// Serves `session` over the descriptors `in` and `out` as the stdio transport does: each
// message is one line of UTF-8 JSON ended by a newline (a carriage return before it is
// ignored, and so are blank lines), each response one line on `out`, and nothing else is ever
// written there. A line longer than kMessageLimit is answered with an error and skipped
// without being kept. Tool calls run one after another on a worker thread, so that pings,
// tools/list and cancellations are answered while a call waits for the broker or the user; a
// cancelled call that has not started never runs, and one that has is not answered. Calls
// that would make more than 64 wait, or more than 8 MiB of their messages, are turned away
// with Session::busyReply. While a call whose request carried a progress token waits (an
// elevated request waits for the user's approval), a progress notification goes out every
// `progressInterval`, so that clients which time calls out can keep waiting.
//
// Calls end with their client: once `in` ends, or the client stops reading `out` (the pipe
// reports it, or a write fails), the calls waiting are dropped without being made, the call
// under way is abandoned (Session::abandonCalls) and not answered, and the function returns
// as soon as that call has returned: 0 when the input ended, 1 when the output broke. Blocks
// the calling thread.
int serveStdio(Session& session, int in, int out,
               std::chrono::milliseconds progressInterval = std::chrono::seconds(10));

}  // namespace tamber::engine::mcp
