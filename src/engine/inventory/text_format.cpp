#include "engine/inventory/text_format.h"

#include <array>
#include <cstdio>
#include <ctime>

#include "base/text.h"

namespace tamber::engine {

std::string htmlEscaped(std::string_view text) {
  if (!isValidUtf8(text)) {
    return htmlEscaped(validUtf8(text));
  }
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string humanBytes(uint64_t bytes) {
  if (bytes == 1) {
    return "1 byte";
  }
  if (bytes < 1000) {
    return std::to_string(bytes) + " bytes";
  }
  static constexpr std::array<const char*, 6> kUnits = {"kB", "MB", "GB", "TB", "PB", "EB"};
  double value = static_cast<double>(bytes) / 1000.0;
  size_t unit = 0;
  // Move up a unit before rounding would print "1000.0".
  while (value >= 999.95 && unit + 1 < kUnits.size()) {
    value /= 1000.0;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
  return text;
}

std::string groupedNumber(uint64_t value) {
  const std::string digits = std::to_string(value);
  std::string out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) {
      out += ',';
    }
    out += digits[i];
  }
  return out;
}

}  // namespace tamber::engine
