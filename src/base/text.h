#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tamber {

// Returns `bytes` as valid UTF-8: every ill-formed sequence becomes U+FFFD.
std::string validUtf8(std::string_view bytes);

// True when `bytes` is valid UTF-8, that is, validUtf8 would return it unchanged.
bool isValidUtf8(std::string_view bytes);

// The longest start of `bytes` of at most `most` bytes that does not end inside a UTF-8
// character (a cut never leaves a continuation byte without its lead).
std::string_view utf8Prefix(std::string_view bytes, size_t most);

// Names as the file system has them are bytes, which need not be UTF-8; what shows them or
// sends them on (JSON, a web page) needs UTF-8. A name's address is the one UTF-8 text that
// names it exactly: its valid UTF-8 as it is, every byte that is not part of valid UTF-8 as
// U+FFFD followed by the byte in two lower-case hexadecimal digits, and each U+FFFD of the name
// itself as U+FFFD U+FFFD. A valid UTF-8 name without U+FFFD is its own address. A path's
// address is the path of its names' addresses ('/' is ASCII). People are shown validUtf8() of
// the name; programs get the address and give it back.

// The address of `bytes`.
std::string addressOf(std::string_view bytes);

// The bytes whose address is `address`; nothing when addressOf would never write `address` (a
// U+FFFD followed by neither U+FFFD nor two lower-case hexadecimal digits, an escaped byte that
// is valid UTF-8 where it stands, text that is not UTF-8).
std::optional<std::string> bytesOfAddress(std::string_view address);

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

// A count with thousands separators: "12,345".
std::string groupedNumber(std::uint64_t value);

// A count and its noun: "1 file", "12,345 files".
std::string plural(std::uint64_t count, const char* one, const char* many);

// `bytes` percent-encoded: every byte but the unreserved ones (letters, digits, - . _ ~) and
// '/' as %HH with upper-case digits. Fit for a URL's path or query, a file: URI and the Trash's
// recorded paths.
std::string percentEncoded(std::string_view bytes);

// `text` as one word for a POSIX shell: every ' written as '\'' and the whole enclosed in '.
std::string shellQuote(std::string_view text);

}  // namespace tamber
