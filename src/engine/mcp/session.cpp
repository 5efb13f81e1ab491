#include "engine/mcp/session.h"

#include <algorithm>
#include <array>
#include <exception>
#include <vector>

#include "agent/request_json.h"
#include "base/failure.h"
#include "base/text.h"

namespace tamber::engine::mcp {

namespace {

// JSON-RPC 2.0's error codes, and the one this protocol adds for a revision it does not speak.
constexpr int kParseError = -32700;
constexpr int kInvalidRequest = -32600;
constexpr int kMethodNotFound = -32601;
constexpr int kInvalidParams = -32602;
constexpr int kInternalError = -32603;
constexpr int kUnsupportedProtocolVersion = -32022;

// The "_meta" members of a request that carries its own revision.
constexpr const char* kVersionKey = "io.modelcontextprotocol/protocolVersion";
constexpr const char* kCapabilitiesKey = "io.modelcontextprotocol/clientCapabilities";
constexpr const char* kClientInfoKey = "io.modelcontextprotocol/clientInfo";
constexpr const char* kServerInfoKey = "io.modelcontextprotocol/serverInfo";

// Methods of the revisions before 2026-07-28 that it removed.
constexpr std::array<std::string_view, 5> kRemovedMethods = {
    "ping", "logging/setLevel", "resources/subscribe", "resources/unsubscribe", "tasks/result"};

// A request that cannot be answered with a result; its code, message and data become the error.
struct ProtocolError {
  int code;
  std::string message;
  Json data = nullptr;
};

std::string serialized(const Json& message) {
  // Replacement, not failure, for bytes that are not UTF-8: the client always gets a message.
  return jsonText(message);
}

std::string errorResponse(const Json& id, int code, std::string message, Json data = nullptr) {
  Json error = {{"code", code}, {"message", std::move(message)}};
  if (!data.is_null()) {
    error["data"] = std::move(data);
  }
  return serialized({{"jsonrpc", "2.0"}, {"id", id}, {"error", std::move(error)}});
}

Json serverInfo() {
  return {{"name", "tamber"}, {"title", "Tamber"}, {"version", TAMBER_VERSION}};
}

// A result response as `revision` has it: from 2026-07-28 on, the result says its type and
// the server's name. Written as text, keys in order: the server's name, written once, goes
// first, since "_meta" sorts before every key a result has.
std::string resultResponse(const Json& id, Json result, Revision revision) {
  std::string text = "{\"id\":" + jsonText(id) + ",\"jsonrpc\":\"2.0\",\"result\":";
  if (revision < Revision::v2026_07_28) {
    return text + jsonText(result) + "}";
  }
  static const std::string meta =
      jsonText(Json{{"_meta", {{kServerInfoKey, serverInfo()}}}}).substr(1);  // "_meta":...}
  result["resultType"] = "complete";
  const std::string body = jsonText(result);
  text += "{";
  text.append(meta, 0, meta.size() - 1);
  return text + "," + body.substr(1) + "}";
}

// The protocol forbids null ids; fractional ones are odd but still JSON-RPC ids.
bool isRequestId(const Json& id) {
  return id.is_string() || id.is_number();
}

const Json& member(const Json& object, const char* key) {
  static const Json absent;
  if (!object.is_object()) {
    return absent;
  }
  const auto found = object.find(key);
  return found == object.end() ? absent : *found;
}

// The revision a request's own "_meta" names, which must be one served request by request.
Revision modernRevision(const Json& meta) {
  const Json& version = member(meta, kVersionKey);
  if (!version.is_string()) {
    throw ProtocolError{kInvalidParams, std::string("\"_meta\" needs \"") + kVersionKey +
                                            "\", a string naming the protocol revision"};
  }
  if (!member(meta, kCapabilitiesKey).is_object()) {
    throw ProtocolError{kInvalidParams,
                        std::string("\"_meta\" needs \"") + kCapabilitiesKey + "\", an object"};
  }
  const Json& clientInfo = member(meta, kClientInfoKey);
  if (!clientInfo.is_null() && !clientInfo.is_object()) {
    throw ProtocolError{kInvalidParams,
                        std::string("\"") + kClientInfoKey + "\" in \"_meta\" must be an object"};
  }
  const std::string& name = version.get_ref<const std::string&>();
  const std::optional<Revision> revision = revisionNamed(name);
  if (!revision || *revision < Revision::v2026_07_28) {
    throw ProtocolError{kUnsupportedProtocolVersion,
                        "Unsupported protocol version \"" + validUtf8(name) + "\"",
                        {{"supported", revisionNames()}, {"requested", validUtf8(name)}}};
  }
  return *revision;
}

std::string instructions(bool readOnly) {
  std::string text =
      "Tamber acts on folders that the user granted to you in the Tamber desktop app, through "
      "its broker, and shows its storage inventory. Paths are absolute and inside a granted "
      "folder. A read returns a whole file of up to 32 KiB, or the lines asked for of a larger "
      "one; list answers in pages and find looks for names. Nothing is ever deleted or "
      "overwritten: write_new, mkdir, copy and move create new names only, and edit and "
      "replace keep the previous file as a backup beside it. inventory needs no grant.";
  if (readOnly) {
    text += " This server is read-only: it offers stat, list, read, find and inventory.";
  }
  return text;
}

}  // namespace

struct Session::Answer {
  std::optional<std::string> now;      // the response to give at once
  std::function<std::string()> later;  // or the tool call that makes it
  Json id;                             // the request's id
  std::optional<Json> progressToken;   // the tool call's progress token
  std::optional<Json> cancelled;       // a cancellation's request id
};

Session::Session(ToolBackend& backend, bool readOnly) : backend_(backend), readOnly_(readOnly) {}

std::string Session::oversizedReply() {
  return errorResponse(nullptr, kInvalidRequest,
                       "Message exceeds the limit of " + std::to_string(kMessageLimit) + " bytes");
}

std::string Session::busyReply(const Json& id) {
  return errorResponse(
      id, kInternalError,
      "Too many calls are waiting; send this one again once earlier calls are answered");
}

Json Session::initializeResult(const Json& params) {
  const std::optional<std::string_view> requested = stringMember(params, "protocolVersion");
  if (!requested) {
    throw ProtocolError{kInvalidParams, "initialize needs \"protocolVersion\", a string"};
  }
  // A revision we speak through initialize is agreed to as asked; for any other (a later one
  // among them, which has no initialize) we offer our latest and the client decides.
  const std::optional<Revision> named = revisionNamed(*requested);
  const Revision revision =
      named && *named <= kLatestLegacyRevision ? *named : kLatestLegacyRevision;
  legacyRevision_ = revision;
  Json info = serverInfo();
  if (revision < Revision::v2025_06_18) {
    info.erase("title");
  }
  return {{"protocolVersion", revisionName(revision)},
          {"capabilities", {{"tools", {{"listChanged", false}}}}},
          {"serverInfo", std::move(info)},
          {"instructions", instructions(readOnly_)}};
}

Json Session::toolsListResult(Revision revision) const {
  Json tools = Json::array();
  for (const Tool& tool : toolCatalogue()) {
    if (!readOnly_ || tool.readOnly) {
      tools.push_back(toolListing(tool, revision));
    }
  }
  Json result = {{"tools", std::move(tools)}};
  if (revision >= Revision::v2026_07_28) {
    // The tools never change while the server runs, but a server started again may offer
    // others under the same name: no result is fresh for longer than its request.
    result["ttlMs"] = 0;
    result["cacheScope"] = "private";
  }
  return result;
}

Json Session::discoverResult() const {
  return {{"supportedVersions", revisionNames()},
          {"capabilities", {{"tools", {{"listChanged", false}}}}},
          {"instructions", instructions(readOnly_)},
          {"ttlMs", 0},
          {"cacheScope", "private"}};
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
      Json result = initializeResult(params);
      answer.now = resultResponse(id, std::move(result), *legacyRevision_);
      return answer;
    }
    const Json& meta = member(params, "_meta");
    Revision revision = kLatestRevision;
    if (meta.is_object() && meta.contains(kVersionKey)) {
      revision = modernRevision(meta);
    } else if (legacyRevision_) {
      revision = *legacyRevision_;
    } else if (name == "ping") {
      answer.now = resultResponse(id, Json::object(), kLatestLegacyRevision);
      return answer;
    } else {
      throw ProtocolError{kInvalidParams,
                          std::string("A request needs \"_meta\" with \"") + kVersionKey +
                              "\" and \"" + kCapabilitiesKey +
                              "\" (protocol revision 2026-07-28), or an initialize before it"};
    }
    const bool modern = revision >= Revision::v2026_07_28;

    if (name == "server/discover" && modern) {
      answer.now = resultResponse(id, discoverResult(), revision);
    } else if (name == "ping" && !modern) {
      answer.now = resultResponse(id, Json::object(), revision);
    } else if (name == "tools/list") {
      answer.now = resultResponse(id, toolsListResult(revision), revision);
    } else if (name == "tools/call") {
      const std::optional<std::string_view> toolName = stringMember(params, "name");
      if (!toolName) {
        throw ProtocolError{kInvalidParams, "tools/call needs \"name\", a string"};
      }
      const Tool* tool = findTool(*toolName, readOnly_);
      if (tool == nullptr) {
        throw ProtocolError{kInvalidParams, "Unknown tool: " + validUtf8(*toolName)};
      }
      Json arguments = member(params, "arguments");
      if (arguments.is_null()) {
        arguments = Json::object();
      }
      const Json& token = member(meta, "progressToken");
      if (token.is_string() || token.is_number()) {
        answer.progressToken = token;
      }
      // Arguments that do not fit the tool are the agent's to correct: a tool error it can
      // read, not a protocol error, and nothing reaches the broker.
      if (std::optional<std::string> problem = argumentProblem(*tool, arguments)) {
        answer.now = resultResponse(id, failureResult(*problem, revision), revision);
      } else {
        answer.later = [this, tool, arguments = std::move(arguments), revision, id]() {
          return resultResponse(id, callResult(runTool(*tool, arguments, backend_), revision),
                                revision);
        };
      }
    } else if (modern && std::find(kRemovedMethods.begin(), kRemovedMethods.end(), name) !=
                             kRemovedMethods.end()) {
      throw ProtocolError{kMethodNotFound, "Method not found: " + name +
                                               " was removed in protocol revision " +
                                               revisionName(revision)};
    } else {
      throw ProtocolError{kMethodNotFound, "Method not found: " + validUtf8(name)};
    }
  } catch (const ProtocolError& error) {
    answer.now = errorResponse(id, error.code, error.message, error.data);
  }
  return answer;
}

Work Session::receive(std::string_view text) {
  Work work;
  Json message;
  try {
    // Almost every message is plain JSON, read without the full parser.
    std::optional<Json> plain = parsePlainJson(text);
    message = plain ? std::move(*plain) : parseRequestJson(text);
  } catch (const BrokerFailure& failure) {
    work.reply = errorResponse(nullptr, kParseError, "Parse error", failure.description());
    return work;
  }

  // Run a call as a job: whatever it throws becomes an internal error for its request.
  auto guarded = [](std::function<std::string()> later, Json id) {
    return [later = std::move(later), id = std::move(id)]() -> std::string {
      try {
        return later();
      } catch (const std::exception& error) {
        return errorResponse(id, kInternalError, validUtf8(error.what()));
      }
    };
  };

  if (!message.is_array()) {
    Answer answer = respond(message);
    if (answer.now) {
      work.reply = std::move(*answer.now);
    }
    if (answer.later) {
      work.call = [job = guarded(std::move(answer.later),
                                 answer.id)]() -> std::optional<std::string> { return job(); };
      work.calls = 1;
      work.callId = answer.id;
      work.progressToken = std::move(answer.progressToken);
    }
    work.cancelled = std::move(answer.cancelled);
    return work;
  }

  // Batches belong to the 2025-03-26 revision only; the one response is an array.
  std::string refusal;
  if (legacyRevision_ != Revision::v2025_03_26) {
    refusal = std::string("Invalid Request: ") +
              (legacyRevision_ ? std::string("protocol revision ") +
                                     revisionName(*legacyRevision_) + " has no batches"
                               : "batches come only after an initialize for 2025-03-26");
  } else if (message.empty()) {
    refusal = "Invalid Request: an empty batch";
  } else if (message.size() > kBatchLimit) {
    refusal = "Invalid Request: a batch holds at most " + std::to_string(kBatchLimit) +
              " messages; nothing in this one was done";
  }
  if (!refusal.empty()) {
    work.reply = errorResponse(nullptr, kInvalidRequest, refusal);
    return work;
  }

  struct Part {
    std::optional<std::string> now;
    std::function<std::string()> later;
    Json id;
  };
  std::vector<Part> parts;
  for (const Json& element : message) {
    Answer answer = respond(element);
    if (answer.now) {
      parts.push_back({std::move(answer.now), nullptr, nullptr});
    } else if (answer.later) {
      parts.push_back({std::nullopt, guarded(std::move(answer.later), answer.id), answer.id});
      ++work.calls;
    }
  }
  // The reply is bounded: once it has grown past the limit, the calls after it are not made.
  auto collect = [parts = std::move(parts)]() -> std::optional<std::string> {
    if (parts.empty()) {
      return std::nullopt;  // notifications only
    }
    std::string out = "[";
    for (const Part& part : parts) {
      if (out.size() > 1) {
        out += ",";
      }
      if (part.now) {
        out += *part.now;
      } else if (out.size() <= kBatchReplyLimit) {
        out += part.later();
      } else {
        out +=
            errorResponse(part.id, kInternalError,
                          "The batch's reply passed " + std::to_string(kBatchReplyLimit) +
                              " bytes before this call; it was not made: send it again on its own");
      }
    }
    return out + "]";
  };
  if (work.calls > 0) {
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
