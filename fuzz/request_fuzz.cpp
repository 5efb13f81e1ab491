// An agent's request bytes through the broker's own parser, then the preflight
// against a live grant: a sentence or success, never a crash. Preflight touches no file.
// The quick reader of plain requests must agree with the full JSON parser on all it accepts,
// and the quick writer with the library's writer on every value, the input bytes as a string
// included (ill-formed UTF-8 among them).
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "access/grant.h"
#include "actions/executor.h"
#include "agent/request_json.h"
#include "base/failure.h"
#include "base/reply.h"

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
  if (const std::optional<tamber::Json> plain = tamber::parsePlainRequest(text)) {
    if (!tamber::Json::accept(text) || tamber::Json::parse(text) != *plain) {
      __builtin_trap();
    }
  }
  try {
    const tamber::Json request = tamber::parseRequestJson(text);
    expectSameDump(request);
    if (!request.is_object()) {
      return 0;
    }
    tamber::preflightFileAction(request, grant);
  } catch (const tamber::BrokerFailure& failure) {
    if (failure.description().empty()) {
      __builtin_trap();
    }
  }
  return 0;
}
