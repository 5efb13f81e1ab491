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

// Whole groups are written into a text sized once: the per-character appends of a plain loop
// cost more than the arithmetic.
std::string base64Encode(std::string_view bytes) {
  std::string text((bytes.size() + 2) / 3 * 4, '=');
  const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());
  char* out = text.data();
  size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3, out += 4) {
    const uint32_t group = uint32_t{in[i]} << 16 | uint32_t{in[i + 1]} << 8 | in[i + 2];
    out[0] = kAlphabet[group >> 18 & 63];
    out[1] = kAlphabet[group >> 12 & 63];
    out[2] = kAlphabet[group >> 6 & 63];
    out[3] = kAlphabet[group & 63];
  }
  const size_t rest = bytes.size() - i;
  if (rest > 0) {
    const uint32_t group = uint32_t{in[i]} << 16 | (rest == 2 ? uint32_t{in[i + 1]} << 8 : 0);
    out[0] = kAlphabet[group >> 18 & 63];
    out[1] = kAlphabet[group >> 12 & 63];
    if (rest == 2) {
      out[2] = kAlphabet[group >> 6 & 63];
    }
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
  std::string bytes(symbols * 3 / 4, '\0');
  const auto* in = reinterpret_cast<const unsigned char*>(text.data());
  char* out = bytes.data();
  // Four symbols make three bytes; a value outside the alphabet (an "=" before the final
  // padding included) is negative, and so is the OR of a group that holds one.
  size_t i = 0;
  for (; i + 4 <= symbols; i += 4, out += 3) {
    const int32_t a = kValues[in[i]];
    const int32_t b = kValues[in[i + 1]];
    const int32_t c = kValues[in[i + 2]];
    const int32_t d = kValues[in[i + 3]];
    if ((a | b | c | d) < 0) {
      return std::nullopt;
    }
    const uint32_t group = static_cast<uint32_t>(a << 18 | b << 12 | c << 6 | d);
    out[0] = static_cast<char>(group >> 16);
    out[1] = static_cast<char>(group >> 8 & 0xFF);
    out[2] = static_cast<char>(group & 0xFF);
  }
  uint32_t bits = 0;
  int held = 0;
  for (; i < symbols; ++i) {
    const int8_t value = kValues[in[i]];
    if (value < 0) {
      return std::nullopt;
    }
    bits = bits << 6 | static_cast<uint32_t>(value);
    held += 6;
    if (held >= 8) {
      held -= 8;
      *out++ = static_cast<char>(bits >> held & 0xFF);
    }
  }
  // Left-over bits must be zero: otherwise two texts would decode to the same bytes.
  if ((bits & ((1u << held) - 1)) != 0) {
    return std::nullopt;
  }
  return bytes;
}

}  // namespace tamber
