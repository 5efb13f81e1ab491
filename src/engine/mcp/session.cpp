#include "engine/mcp/session.h"

#include <exception>
#include <vector>

#include "agent/request_json.h"
#include "base/failure.h"

namespace tamber::engine::mcp {

namespace {

// JSON-RPC 2.0's error codes.
constexpr int kParseError = -32700;
constexpr int kInvalidRequest = -32600;
constexpr int kMethodNotFound = -32601;
constexpr int kInvalidParams = -32602;
constexpr int kInternalError = -32603;

// A request that cannot be answered with a result; its code and message become the error.
struct ProtocolError {
  int code;
  std::string message;
};

std::string serialized(const Json& message) {
  // Replacement, not failure, for bytes that are not UTF-8: the client always gets a message.
  return message.dump(-1, ' ', false, Json::error_handler_t::replace);
}

Json errorResponse(const Json& id, int code, std::string message, Json data = nullptr) {
  Json error = {{"code", code}, {"message", std::move(message)}};
  if (!data.is_null()) {
    error["data"] = std::move(data);
  }
  return {{"jsonrpc", "2.0"}, {"id", id}, {"error", std::move(error)}};
}

Json resultResponse(const Json& id, Json result) {
  return {{"jsonrpc", "2.0"}, {"id", id}, {"result", std::move(result)}};
}

// The protocol forbids null ids; fractional ones are odd but still JSON-RPC ids.
bool isRequestId(const Json& id) {
  return id.is_string() || id.is_number();
}

const Json& member(const Json& object, const char* key) {
  static const Json absent;
  const auto found = object.find(key);
  return found == object.end() ? absent : *found;
}

std::string instructions(bool readOnly) {
  std::string text =
      "Tamber acts on folders that the user granted to you in the Tamber desktop app, through "
      "its broker, and shows its storage inventory. Paths are absolute and inside a granted "
      "folder. Reads are limited to 32 KiB. Nothing is ever deleted or overwritten: write_new, "
      "mkdir, copy and move create new names only, and replace needs the sha256 of your "
      "latest read and keeps the previous file as a backup beside it. inventory needs no "
      "grant.";
  if (readOnly) {
    text += " This server is read-only: it offers stat, list, read and inventory.";
  }
  return text;
}

}  // namespace

struct Session::Answer {
  std::optional<Json> now;            // the response to give at once
  std::function<Json()> later;        // or the tool call that makes it
  Json id;                            // the request's id
  std::optional<Json> progressToken;  // the tool call's progress token
  std::optional<Json> cancelled;      // a cancellation's request id
};

Session::Session(ToolBackend& backend, bool readOnly) : backend_(backend), readOnly_(readOnly) {}

std::string Session::oversizedReply() {
  return serialized(
      errorResponse(nullptr, kInvalidRequest,
                    "Message exceeds the limit of " + std::to_string(kMessageLimit) + " bytes"));
}

Json Session::initializeResult(const Json& params) {
  const std::optional<std::string_view> requested = stringMember(params, "protocolVersion");
  if (!requested) {
    throw ProtocolError{kInvalidParams, "initialize needs \"protocolVersion\", a string"};
  }
  // A revision we speak is agreed to as asked; for any other we offer our latest and the
  // client decides whether it can go on.
  revision_ = revisionNamed(*requested).value_or(kLatestRevision);
  Json serverInfo = {{"name", "tamber"}, {"version", TAMBER_VERSION}};
  if (revision_ >= Revision::v2025_06_18) {
    serverInfo["title"] = "Tamber";
  }
  return {{"protocolVersion", revisionName(revision_)},
          {"capabilities", {{"tools", {{"listChanged", false}}}}},
          {"serverInfo", std::move(serverInfo)},
          {"instructions", instructions(readOnly_)}};
}

Json Session::toolsListResult() const {
  Json tools = Json::array();
  for (const Tool& tool : toolCatalogue()) {
    if (!readOnly_ || tool.readOnly) {
      tools.push_back(toolListing(tool, revision_));
    }
  }
  return {{"tools", std::move(tools)}};
}

Session::Answer Session::respond(const Json& message) {
  Answer answer;
  if (!message.is_object()) {
    answer.now = errorResponse(nullptr, kInvalidRequest, "Invalid Request: not a JSON object");
    return answer;
  }
  const bool isNotification = !message.contains("id");
  const Json& id = member(message, "id");
  const std::optional<std::string_view> method = stringMember(message, "method");
  if (!method && (message.contains("result") || message.contains("error"))) {
    return answer;  // a response; this server sends no requests, so it answers nothing
  }
  if (stringMember(message, "jsonrpc") != "2.0" || !method ||
      (!isNotification && !isRequestId(id))) {
    if (!isNotification || !method) {
      answer.now = errorResponse(isRequestId(id) ? id : Json(), kInvalidRequest,
                                 "Invalid Request: a request has \"jsonrpc\": \"2.0\", a "
                                 "string \"method\" and a string or number \"id\"");
    }
    return answer;
  }
  const std::string name(*method);
  const Json& params = member(message, "params");

  if (isNotification) {
    // Notifications are never answered, not even with an error.
    if (name == "notifications/cancelled" && params.is_object() && params.contains("requestId")) {
      answer.cancelled = params.at("requestId");
    }
    return answer;
  }

  answer.id = id;
  try {
    if (!params.is_null() && !params.is_object()) {
      throw ProtocolError{kInvalidParams, "\"params\" must be an object"};
    }
    if (name == "initialize") {
      answer.now = resultResponse(id, initializeResult(params));
    } else if (name == "ping") {
      answer.now = resultResponse(id, Json::object());
    } else if (name == "tools/list") {
      answer.now = resultResponse(id, toolsListResult());
    } else if (name == "tools/call") {
      const std::optional<std::string_view> toolName = stringMember(params, "name");
      if (!toolName) {
        throw ProtocolError{kInvalidParams, "tools/call needs \"name\", a string"};
      }
      const Tool* tool = findTool(*toolName, readOnly_);
      if (tool == nullptr) {
        throw ProtocolError{kInvalidParams, "Unknown tool: " + std::string(*toolName)};
      }
      Json arguments = member(params, "arguments");
      if (arguments.is_null()) {
        arguments = Json::object();
      }
      const Revision revision = revision_;
      const Json& token = member(member(params, "_meta"), "progressToken");
      if (token.is_string() || token.is_number()) {
        answer.progressToken = token;
      }
      // Arguments that do not fit the tool are the agent's to correct: a tool error it can
      // read, not a protocol error, and nothing reaches the broker.
      if (std::optional<std::string> problem = argumentProblem(*tool, arguments)) {
        answer.now = resultResponse(id, failureResult(*problem, revision));
      } else {
        answer.later = [this, tool, arguments = std::move(arguments), revision, id]() {
          return resultResponse(id,
                                replyResult(*tool, backend_.perform(*tool, arguments), revision));
        };
      }
    } else {
      throw ProtocolError{kMethodNotFound, "Method not found: " + name};
    }
  } catch (const ProtocolError& error) {
    answer.now = errorResponse(id, error.code, error.message);
  }
  return answer;
}

Work Session::receive(std::string_view text) {
  Work work;
  Json message;
  try {
    message = parseRequestJson(text);
  } catch (const BrokerFailure& failure) {
    work.reply =
        serialized(errorResponse(nullptr, kParseError, "Parse error", failure.description()));
    return work;
  }

  // Run a call as a job: whatever it throws becomes an internal error for its request.
  auto guarded = [](std::function<Json()> later, Json id) {
    return [later = std::move(later), id = std::move(id)]() -> Json {
      try {
        return later();
      } catch (const std::exception& error) {
        return errorResponse(id, kInternalError, error.what());
      }
    };
  };

  if (!message.is_array()) {
    Answer answer = respond(message);
    if (answer.now) {
      work.reply = serialized(*answer.now);
    }
    if (answer.later) {
      work.call =
          [job = guarded(std::move(answer.later), answer.id)]() -> std::optional<std::string> {
        return serialized(job());
      };
      work.callId = answer.id;
      work.progressToken = std::move(answer.progressToken);
    }
    work.cancelled = std::move(answer.cancelled);
    return work;
  }

  // Batches belong to the 2025-03-26 revision only; the one response is an array.
  if (revision_ != Revision::v2025_03_26 || message.empty()) {
    work.reply = serialized(errorResponse(nullptr, kInvalidRequest,
                                          message.empty()
                                              ? "Invalid Request: an empty batch"
                                              : std::string("Invalid Request: protocol revision ") +
                                                    revisionName(revision_) + " has no batches"));
    return work;
  }
  std::vector<std::function<Json()>> parts;
  bool deferred = false;
  for (const Json& element : message) {
    Answer answer = respond(element);
    if (answer.now) {
      parts.push_back([response = std::move(*answer.now)] { return response; });
    } else if (answer.later) {
      parts.push_back(guarded(std::move(answer.later), answer.id));
      deferred = true;
    }
  }
  auto collect = [parts = std::move(parts)]() -> std::optional<std::string> {
    if (parts.empty()) {
      return std::nullopt;  // notifications only
    }
    Json responses = Json::array();
    for (const auto& part : parts) {
      responses.push_back(part());
    }
    return serialized(responses);
  };
  if (deferred) {
    work.call = std::move(collect);
  } else {
    work.reply = collect();
  }
  return work;
}

std::optional<std::string> Session::handle(std::string_view message) {
  Work work = receive(message);
  return work.call ? work.call() : work.reply;
}

}  // namespace tamber::engine::mcp
