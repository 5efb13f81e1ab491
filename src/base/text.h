#pragma once

#include <string>
#include <string_view>

namespace tamber {

// Returns `bytes` as valid UTF-8: every ill-formed sequence becomes U+FFFD.
std::string validUtf8(std::string_view bytes);

// True when `bytes` is valid UTF-8, that is, validUtf8 would return it unchanged.
bool isValidUtf8(std::string_view bytes);

// Full Unicode lower-casing (root locale), then NFC. Ill-formed bytes become U+FFFD.
std::string foldedLower(std::string_view text);

// NFC form of `text`, so canonically equivalent strings compare equal byte for byte.
// Ill-formed bytes become U+FFFD.
std::string nfc(std::string_view text);

// True when every byte is ASCII. ASCII text is valid UTF-8, its own NFC form, and lower-cases
// letter by letter, so callers can skip ICU's conversions for it (most paths are ASCII).
bool isAscii(std::string_view text);

// `count` bytes as lower-case hexadecimal, two digits each.
std::string hexText(const unsigned char* bytes, size_t count);

// `text` as one word for a POSIX shell: every ' written as '\'' and the whole enclosed in '.
std::string shellQuote(std::string_view text);

}  // namespace tamber
