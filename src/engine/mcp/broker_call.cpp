#include "engine/mcp/broker_call.h"

#include <charconv>
#include <cstdlib>

#include "agent/agent_client.h"
#include "agent/agent_server.h"
#include "base/failure.h"
#include "base/path.h"
#include "base/text.h"

namespace tamber::engine {

namespace {

void skipSpace(std::string_view text, size_t& at) {
  while (at < text.size() &&
         (text[at] == ' ' || text[at] == '\t' || text[at] == '\n' || text[at] == '\r')) {
    ++at;
  }
}

bool take(std::string_view text, size_t& at, char expected) {
  skipSpace(text, at);
  if (at < text.size() && text[at] == expected) {
    ++at;
    return true;
  }
  return false;
}

// A string of printable ASCII without escapes opening at text[at]; `at` moves past it.
std::optional<std::string_view> plainString(std::string_view text, size_t& at) {
  if (!take(text, at, '"')) {
    return std::nullopt;
  }
  const size_t begin = at;
  while (at < text.size() && text[at] != '"') {
    if (text[at] < 0x20 || text[at] > 0x7e || text[at] == '\\') {
      return std::nullopt;
    }
    ++at;
  }
  if (at == text.size()) {
    return std::nullopt;
  }
  return text.substr(begin, at++ - begin);
}

std::optional<Json> plainValue(std::string_view text, size_t& at) {
  skipSpace(text, at);
  if (at < text.size() && text[at] == '"') {
    const std::optional<std::string_view> value = plainString(text, at);
    return value ? std::optional<Json>(std::string(*value)) : std::nullopt;
  }
  for (const auto& [word, value] :
       {std::pair<std::string_view, Json>{"true", true}, {"false", false}, {"null", nullptr}}) {
    if (text.substr(at, word.size()) == word) {
      at += word.size();
      return value;
    }
  }
  std::int64_t number = 0;
  const auto [end, error] = std::from_chars(text.data() + at, text.data() + text.size(), number);
  const size_t stop = static_cast<size_t>(end - text.data());
  // Only what JSON and the parser read as the same integer: no leading zero, no fraction or
  // exponent after it.
  if (error != std::errc() || (text[at] == '0' && stop - at > 1) ||
      (text[at] == '-' && (stop - at == 1 || text[at + 1] == '0')) ||
      (stop < text.size() && (text[stop] == '.' || text[stop] == 'e' || text[stop] == 'E'))) {
    return std::nullopt;
  }
  at = stop;
  return Json(number);
}

}  // namespace

std::optional<Json> parseFlatReply(std::string_view text) {
  size_t at = 0;
  if (!take(text, at, '{')) {
    return std::nullopt;
  }
  Json object = Json::object();
  if (!take(text, at, '}')) {
    for (;;) {
      skipSpace(text, at);
      const std::optional<std::string_view> key = plainString(text, at);
      if (!key || !take(text, at, ':')) {
        return std::nullopt;
      }
      std::optional<Json> value = plainValue(text, at);
      if (!value) {
        return std::nullopt;
      }
      object[std::string(*key)] = std::move(*value);
      if (take(text, at, '}')) {
        break;
      }
      if (!take(text, at, ',')) {
        return std::nullopt;
      }
    }
  }
  skipSpace(text, at);
  return at == text.size() ? std::optional<Json>(std::move(object)) : std::nullopt;
}

std::string agentSocketPath(const std::string& dataDir) {
  return absolutePath(dataDir) + "/" + kAgentSocketName;
}

BrokerCall callBroker(const std::string& dataDir, Json request, AgentCallHandle* handle) {
  BrokerCall call;
  // Read afresh each time: the grant is the caller's environment, never a cached copy.
  const char* token = std::getenv("TAMBER_GRANT");
  if (token == nullptr || *token == '\0') {
    call.problem = BrokerProblem::noGrant;
    return call;
  }
  if (validUtf8(token) != token) {
    call.problem = BrokerProblem::badGrant;
    return call;
  }
  // The token travels only in the request on the private socket.
  request["token"] = token;

  std::string reply;
  try {
    reply = sendAgentRequest(agentSocketPath(dataDir), jsonData(request),
                             std::chrono::milliseconds(0), handle);
  } catch (const BrokerFailure& failure) {
    call.problem = handle != nullptr && handle->abandoned() ? BrokerProblem::abandoned
                                                            : BrokerProblem::unreachable;
    call.detail = failure.description();
    return call;
  }
  // Almost every reply is flat; a list's and anything unusual go to the full parser.
  std::optional<Json> flat = parseFlatReply(reply);
  call.reply = flat ? std::move(*flat) : Json::parse(reply, nullptr, false);
  if (call.reply.is_discarded() || !call.reply.is_object()) {
    call.problem = BrokerProblem::noReply;
    call.reply = Json();
  }
  return call;
}

}  // namespace tamber::engine
