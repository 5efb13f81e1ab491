// Whatever a helper prints, or a launcher reports, the decoder answers with a reply object
// or a sentence, and it never confirms success for a run that reported an error.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "agent/elevated.h"
#include "base/failure.h"
#include "base/reply.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) {
    return 0;
  }
  const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  const long long number = static_cast<signed char>(data[0]);
  try {
    const tamber::Json reply = tamber::decodePrivilegedReply(text, std::nullopt);
    if (!reply.is_object() || !reply.contains("ok") || !reply["ok"].is_boolean()) {
      __builtin_trap();
    }
  } catch (const tamber::BrokerFailure&) {
  }
  try {
    const tamber::Json reply =
        tamber::decodePrivilegedReply(std::nullopt, tamber::LaunchError{number, text});
    if (tamber::isSuccessReply(reply)) {
      __builtin_trap();  // a failed run is never reported as a success
    }
  } catch (const tamber::BrokerFailure&) {
  }
  return 0;
}
