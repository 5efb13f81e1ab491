#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "base/reply.h"
#include "engine/mcp/tools.h"

namespace tamber::engine::mcp {

// Largest message accepted, its newline not counted.
inline constexpr size_t kMessageLimit = 1024 * 1024;

// Performs the tool calls of a session.
class ToolBackend {
 public:
  virtual ~ToolBackend() = default;

  // Runs `tool` with `arguments`, already checked by argumentProblem(), and returns a reply
  // object with "ok": the broker's reply for a broker action, or {"ok": false, "error"} with a
  // sentence saying what the user must do when no reply could be had. May block for as long
  // as the broker takes. Called on one thread at a time.
  virtual Json perform(const Tool& tool, const Json& arguments) = 0;
};

// What one message from the client asks of the server.
struct Work {
  // A response to write at once.
  std::optional<std::string> reply;
  // A tool call (or a batch holding one) to run after the calls received before it; returns
  // the response to write, if any. It owns copies of everything it needs.
  std::function<std::optional<std::string>()> call;
  // For `call`: the id of its request, so that a cancellation can find it.
  Json callId;
  // For `call`: the client's progress token, when it asked to hear that the call goes on.
  std::optional<Json> progressToken;
  // The id of a request the client no longer wants answered (notifications/cancelled).
  std::optional<Json> cancelled;
};

// The Model Context Protocol over JSON-RPC 2.0, one message at a time: initialize with version
// negotiation, ping, tools/list and tools/call; every other request gets "Method not found",
// notifications other than cancellation are taken silently. It never ends the conversation:
// every malformed message gets its JSON-RPC error (or is ignored when it is a notification).
//
// Threads: receive() on one thread; the calls it returns may run on another, and only touch
// `backend`.
class Session {
 public:
  // `backend` must outlive the session and every call it hands out. With `readOnly` only the
  // tools that change nothing are listed and callable.
  Session(ToolBackend& backend, bool readOnly);

  // Takes one message (one line, without its newline).
  Work receive(std::string_view message);

  // receive(), with a call run at once: the response, if any. For tests and tools that take
  // one message at a time.
  std::optional<std::string> handle(std::string_view message);

  // The error response to a message that was longer than kMessageLimit.
  static std::string oversizedReply();

  // The revision agreed on by initialize; the latest until then.
  Revision revision() const { return revision_; }

 private:
  struct Answer;
  Answer respond(const Json& message);
  Json initializeResult(const Json& params);
  Json toolsListResult() const;

  ToolBackend& backend_;
  const bool readOnly_;
  Revision revision_ = kLatestRevision;
};

}  // namespace tamber::engine::mcp
