#pragma once

#include "base/reply.h"
#include "engine/mcp/tools.h"

namespace tamber::engine::mcp {

// What the tools act through: the broker, one request at a time, and the kept inventory.
class ToolBackend {
 public:
  virtual ~ToolBackend() = default;

  // Sends `request` (an object with "action" and that action's fields) to the broker and
  // returns the reply object with "ok": the broker's own, or {"ok": false, "error"} with a
  // sentence saying what the user must do when no reply could be had. May block for as long
  // as the broker takes (an elevated request waits for the user). Called on one thread at a
  // time.
  virtual Json broker(const Json& request) = 0;

  // The inventory tool's reply for `arguments`, an object with "ok".
  virtual Json inventory(const Json& arguments) = 0;

  // Ends the broker request under way as soon as it can, from any thread: its connection to
  // the broker closes, so a copy stops at its next chunk and leaves nothing, and broker()
  // returns a failure at once, then and from now on.
  virtual void abandon() {}
};

// Runs `tool` with `arguments`, already checked by argumentProblem(), through `backend`:
// most tools are one broker request with the arguments as its fields; "read" with a line
// range, "list" in pages, "find" and "edit" are several. Never throws for what the broker or
// the file says; a failure is a reply with "ok": false and a sentence.
ToolReply runTool(const Tool& tool, const Json& arguments, ToolBackend& backend);

}  // namespace tamber::engine::mcp
