#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "base/reply.h"
#include "engine/mcp/tool_calls.h"
#include "engine/mcp/tools.h"

namespace tamber::engine::mcp {

// Largest message accepted, its newline not counted.
inline constexpr size_t kMessageLimit = 1024 * 1024;

// Most messages in one batch, and the size past which a batch's reply runs no more calls.
inline constexpr size_t kBatchLimit = 32;
inline constexpr size_t kBatchReplyLimit = 4 * 1024 * 1024;

// What one message from the client asks of the server.
struct Work {
  // A response to write at once.
  std::optional<std::string> reply;
  // A tool call (or a batch holding some) to run after the calls received before it; returns
  // the response to write, if any. It owns copies of everything it needs.
  std::function<std::optional<std::string>()> call;
  // For `call`: how many tool calls it makes, and the id of its request, so that a
  // cancellation can find it.
  size_t calls = 0;
  Json callId;
  // For `call`: the client's progress token, when it asked to hear that the call goes on.
  std::optional<Json> progressToken;
  // The id of a request the client no longer wants answered (notifications/cancelled).
  std::optional<Json> cancelled;
};

// The Model Context Protocol over JSON-RPC 2.0, one message at a time, in both of its eras:
// - A request whose params' "_meta" names its revision
//   ("io.modelcontextprotocol/protocolVersion", with "io.modelcontextprotocol/
//   clientCapabilities") is served on its own under that revision (2026-07-28): server/discover,
//   tools/list and tools/call; a "_meta" without the capabilities, or with a value of the wrong
//   type, is "Invalid params" (-32602); any other revision is UnsupportedProtocolVersion
//   (-32022), naming the revisions spoken and the one asked for; every other method, those
//   that revision removed (ping, logging/setLevel...) included, is "Method not found".
// - An initialize agrees on a revision from 2024-11-05 to 2025-11-25 for the rest of the
//   process, after which requests without that "_meta" are served as that revision has them:
//   ping, tools/list and tools/call. Before it, such a request is "Invalid params" (a ping
//   excepted), and the session goes on.
// Notifications other than cancellation are taken silently. It never ends the conversation:
// every malformed message gets its JSON-RPC error (or is ignored when it is a notification).
// A batch (2025-03-26 only) holds at most kBatchLimit messages, or it is refused whole; once
// its reply passes kBatchReplyLimit, its calls not yet made are answered with an error
// instead of being made.
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

  // The error response to a tool call that was turned away: the server has too many calls
  // waiting (a tool error, which an agent can read and retry).
  static std::string busyReply(const Json& id);

  // Ends the tool call under way as soon as the backend can (ToolBackend::abandon); any thread.
  void abandonCalls() { backend_.abandon(); }

  // The revision agreed on by initialize; nothing until one was.
  std::optional<Revision> legacyRevision() const { return legacyRevision_; }

 private:
  struct Answer;
  Answer respond(const Json& message);
  Json initializeResult(const Json& params);
  Json toolsListResult(Revision revision) const;
  Json discoverResult() const;

  ToolBackend& backend_;
  const bool readOnly_;
  std::optional<Revision> legacyRevision_;
};

}  // namespace tamber::engine::mcp
