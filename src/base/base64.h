#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tamber {

// Standard Base64 (RFC 4648 alphabet, "=" padding, no line breaks).
std::string base64Encode(std::string_view bytes);

// Decodes standard Base64 strictly: the length must be a multiple of four, only the alphabet
// may appear, "=" only as one or two final padding characters, and the bits that padding
// leaves over must be zero, so every byte string has exactly one accepted spelling. Returns
// nothing for any other text. The empty text decodes to no bytes.
std::optional<std::string> strictBase64Decode(std::string_view text);

}  // namespace tamber
