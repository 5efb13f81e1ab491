#pragma once

#include <string>
#include <string_view>

namespace tamber {

// Returns `bytes` as valid UTF-8: every ill-formed sequence becomes U+FFFD.
std::string validUtf8(std::string_view bytes);

// Full Unicode lower-casing (root locale), then NFC. Ill-formed bytes become U+FFFD.
std::string foldedLower(std::string_view text);

// NFC form of `text`, so canonically equivalent strings compare equal byte for byte.
// Ill-formed bytes become U+FFFD.
std::string nfc(std::string_view text);

}  // namespace tamber
