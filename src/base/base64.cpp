#include "base/base64.h"

#include <array>
#include <cstdint>

namespace tamber {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<int8_t, 256> kValues = [] {
  std::array<int8_t, 256> values{};
  values.fill(-1);
  for (int i = 0; i < 64; ++i) {
    values[static_cast<unsigned char>(kAlphabet[i])] = static_cast<int8_t>(i);
  }
  return values;
}();

}  // namespace

std::string base64Encode(std::string_view bytes) {
  std::string text;
  text.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const uint32_t group = static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])) << 16 |
                           static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8 |
                           static_cast<unsigned char>(bytes[i + 2]);
    text += kAlphabet[group >> 18 & 63];
    text += kAlphabet[group >> 12 & 63];
    text += kAlphabet[group >> 6 & 63];
    text += kAlphabet[group & 63];
  }
  const size_t rest = bytes.size() - i;
  if (rest > 0) {
    uint32_t group = static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])) << 16;
    if (rest == 2) {
      group |= static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
    }
    text += kAlphabet[group >> 18 & 63];
    text += kAlphabet[group >> 12 & 63];
    text += rest == 2 ? kAlphabet[group >> 6 & 63] : '=';
    text += '=';
  }
  return text;
}

std::optional<std::string> strictBase64Decode(std::string_view text) {
  if (text.size() % 4 != 0) {
    return std::nullopt;
  }
  size_t padding = 0;
  if (!text.empty() && text.back() == '=') {
    padding = text.size() >= 2 && text[text.size() - 2] == '=' ? 2 : 1;
  }
  const size_t symbols = text.size() - padding;
  std::string bytes;
  bytes.reserve(symbols * 3 / 4);
  uint32_t bits = 0;
  int held = 0;
  for (size_t i = 0; i < symbols; ++i) {
    const int8_t value = kValues[static_cast<unsigned char>(text[i])];
    if (value < 0) {
      return std::nullopt;  // outside the alphabet, or "=" before the final padding
    }
    bits = bits << 6 | static_cast<uint32_t>(value);
    held += 6;
    if (held >= 8) {
      held -= 8;
      bytes += static_cast<char>(bits >> held & 0xFF);
    }
  }
  // Left-over bits must be zero: otherwise two texts would decode to the same bytes.
  if ((bits & ((1u << held) - 1)) != 0) {
    return std::nullopt;
  }
  return bytes;
}

}  // namespace tamber
