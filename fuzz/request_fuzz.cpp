// An agent's request bytes through the broker's own parser, then the preflight
// against a live grant: a sentence or success, never a crash. Preflight touches no file; it
// checks a read's "offset" and a list's "continuation" like every field. The quick reader of
// plain requests must agree with the full JSON parser on all it accepts, the quick writers with
// the library's writer on every value, the input bytes as a string included (ill-formed UTF-8
// among them), the quick UTF-8 check with the converter, and a continuation has one spelling.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "access/grant.h"
#include "actions/executor.h"
#include "agent/request_json.h"
#include "base/failure.h"
#include "base/reply.h"
#include "base/text.h"

namespace {

std::string libraryDump(const tamber::Json& value) {
  try {
    return value.dump(-1, ' ', false, tamber::Json::error_handler_t::strict);
  } catch (...) {
    return "{}";
  }
}

void expectSameDump(const tamber::Json& value) {
  if (tamber::jsonData(value) != libraryDump(value)) {
    __builtin_trap();
  }
}

// The preflight's sentence for `request`, or "" when it admits it.
std::string preflightOutcome(tamber::RequestView request, const tamber::AgentGrant& grant) {
  try {
    tamber::preflightFileAction(request, grant);
    return "";
  } catch (const tamber::BrokerFailure& failure) {
    if (failure.description().empty()) {
      __builtin_trap();
    }
    return failure.description();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const tamber::AgentGrant grant = [] {
    tamber::AgentGrant g;
    g.token = "fuzz";
    g.roots = {"/fuzz/root", "/fuzz/root/inner", "/fuzz/rootx"};
    g.edit = true;
    g.expires = tamber::WallClock::now() + std::chrono::hours(24 * 365);
    return g;
  }();
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  expectSameDump(tamber::Json(std::string(text)));
  const bool valid = tamber::isValidUtf8(text);
  if (valid != (tamber::validUtf8(text) == text) ||
      tamber::jsonText(tamber::Json(std::string(text))) !=
          tamber::Json(std::string(valid ? text : tamber::validUtf8(text))).dump()) {
    __builtin_trap();
  }
  if (const auto continuation = tamber::parseContinuation(text);
      continuation && !text.empty() && tamber::continuationText(*continuation) != text) {
    __builtin_trap();
  }
  // An action's reply writes its strings as jsonData would, ill-formed bytes included.
  const tamber::Json asValue{{"ok", true}, {"s", std::string(text)}, {"list", {std::string(text)}}};
  if (tamber::ActionReply().setString("s", text).setStrings("list", {std::string(text)}).text() !=
      tamber::jsonData(asValue)) {
    __builtin_trap();
  }
  const std::optional<tamber::PlainRequest> plain = tamber::parsePlainRequest(text);
  if (plain && (!tamber::Json::accept(text) || tamber::Json::parse(text) != plain->toJson())) {
    __builtin_trap();
  }
  tamber::Json request;
  try {
    request = tamber::parseRequestJson(text);
  } catch (const tamber::BrokerFailure& failure) {
    if (failure.description().empty() || plain) {
      __builtin_trap();
    }
    return 0;
  }
  expectSameDump(request);
  if (!request.is_object()) {
    return 0;
  }
  // A plain request read as views must mean what the parsed object means, member by member
  // and to the preflight.
  const std::string outcome = preflightOutcome(request, grant);
  if (plain) {
    const tamber::RequestView view(*plain);
    for (const auto& [key, value] : request.items()) {
      if (view.string(key) != value.get_ref<const std::string&>()) {
        __builtin_trap();
      }
    }
    if (preflightOutcome(view, grant) != outcome) {
      __builtin_trap();
    }
  }
  return 0;
}
