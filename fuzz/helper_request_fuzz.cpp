// The privileged helper's request validation over arbitrary values: a sentence or a reply,
// never a crash. Each input is tried as the raw argument and as Base64 of the input, so the
// JSON and grant checks are reached too. Requests that ask for edit rights are not run: a
// request the fuzzer completes must not change this machine's files.
#include <cstddef>
#include <cstdint>
#include <string>

#include "agent/helper_mode.h"
#include "base/base64.h"
#include "base/failure.h"
#include "base/reply.h"

namespace {

bool asksForEdit(const std::string& argument) {
  const auto bytes = tamber::strictBase64Decode(argument);
  if (!bytes) {
    return false;
  }
  const tamber::Json request = tamber::Json::parse(*bytes, nullptr, false);
  return request.is_object() && request.contains("edit") && request["edit"] != false;
}

void tryHelper(const std::string& argument) {
  if (asksForEdit(argument)) {
    return;
  }
  try {
    tamber::privilegedHelperReply(argument);
  } catch (const tamber::BrokerFailure&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  tryHelper(input);
  tryHelper(tamber::base64Encode(input));
  return 0;
}
