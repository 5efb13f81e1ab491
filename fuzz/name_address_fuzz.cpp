// A name's address must name it alone: every byte string's address is UTF-8 and gives the
// bytes back, whatever text is taken as an address is the one address of what it gives, and a
// name is its own address exactly when it is UTF-8 without U+FFFD.
#include <cstddef>
#include <cstdint>
#include <string>

#include "base/text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const std::string address = tamber::addressOf(bytes);
  const auto back = tamber::bytesOfAddress(address);
  if (!back || *back != bytes || !tamber::isValidUtf8(address)) {
    __builtin_trap();
  }
  const bool plain = tamber::isValidUtf8(bytes) && bytes.find("\xef\xbf\xbd") == std::string::npos;
  if ((address == bytes) != plain) {
    __builtin_trap();
  }
  if (const auto named = tamber::bytesOfAddress(bytes)) {
    if (tamber::addressOf(*named) != bytes) {
      __builtin_trap();
    }
  }
  return 0;
}
