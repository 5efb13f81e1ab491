// The helper's Base64 decoder must accept exactly one spelling of every byte string: whatever
// it accepts re-encodes to the same text, and whatever the encoder writes decodes back.
#include <cstddef>
#include <cstdint>
#include <string>

#include "base/base64.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  if (auto decoded = tamber::strictBase64Decode(text)) {
    if (tamber::base64Encode(*decoded) != text) {
      __builtin_trap();
    }
  }
  const auto roundTrip = tamber::strictBase64Decode(tamber::base64Encode(text));
  if (!roundTrip || *roundTrip != text) {
    __builtin_trap();
  }
  return 0;
}
