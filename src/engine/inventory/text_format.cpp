#include "engine/inventory/text_format.h"

#include <array>
#include <cassert>
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

std::string filledTemplate(std::string_view page,
                           const std::map<std::string_view, std::string>& fields) {
  std::string out;
  size_t at = 0;
  for (size_t open; (open = page.find("{{", at)) != std::string_view::npos;) {
    const size_t close = page.find("}}", open + 2);
    assert(close != std::string_view::npos);
    const auto field = fields.find(page.substr(open + 2, close - open - 2));
    assert(field != fields.end());
    out.append(page.substr(at, open - at));
    out += field->second;
    at = close + 2;
  }
  out.append(page.substr(at));
  return out;
}

}  // namespace tamber::engine
