#include "agent/request_json.h"

#include <algorithm>
#include <utility>

#include "base/failure.h"
#include "base/text.h"

namespace tamber {
namespace {

// Looks only at brackets outside strings; text that is not JSON at all is left to the parser.
bool nestsDeeperThan(std::string_view text, int limit) {
  // Text with no more opening brackets than the limit cannot nest deeper, whatever the
  // strings hold; counting them is much cheaper than following the strings.
  const auto opening =
      std::count_if(text.begin(), text.end(), [](char c) { return c == '[' || c == '{'; });
  if (opening <= limit) {
    return false;
  }
  int depth = 0;
  bool inString = false;
  bool escaped = false;
  for (char c : text) {
    if (inString) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        inString = false;
      }
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > limit) {
        return true;
      }
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return false;
}

bool isJsonSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

void skipSpace(std::string_view text, size_t& at) {
  while (at < text.size() && isJsonSpace(text[at])) {
    ++at;
  }
}

// The string opening at text[at], after any whitespace, when it holds printable ASCII only and
// no escape; `at` moves past its closing quote.
std::optional<std::string_view> plainString(std::string_view text, size_t& at) {
  skipSpace(text, at);
  if (at >= text.size() || text[at] != '"') {
    return std::nullopt;
  }
  const size_t begin = ++at;
  const auto plain = [](char c) { return c >= 0x20 && c <= 0x7e && c != '"' && c != '\\'; };
  const auto end =
      std::find_if_not(text.begin() + static_cast<std::ptrdiff_t>(begin), text.end(), plain);
  if (end == text.end() || *end != '"') {
    return std::nullopt;
  }
  at = static_cast<size_t>(end - text.begin()) + 1;
  return text.substr(begin, at - 1 - begin);
}

bool take(std::string_view text, size_t& at, char expected) {
  skipSpace(text, at);
  if (at < text.size() && text[at] == expected) {
    ++at;
    return true;
  }
  return false;
}

}  // namespace

std::optional<PlainRequest> parsePlainRequest(std::string_view text) {
  size_t at = 0;
  if (!take(text, at, '{')) {
    return std::nullopt;
  }
  PlainRequest request;
  if (!take(text, at, '}')) {
    for (;;) {
      const std::optional<std::string_view> key = plainString(text, at);
      if (!key || !take(text, at, ':')) {
        return std::nullopt;
      }
      const std::optional<std::string_view> value = plainString(text, at);
      if (!value || request.count == PlainRequest::kMaxMembers) {
        return std::nullopt;
      }
      request.members[request.count++] = {*key, *value};
      if (take(text, at, '}')) {
        break;
      }
      if (!take(text, at, ',')) {
        return std::nullopt;
      }
    }
  }
  skipSpace(text, at);
  if (at != text.size()) {
    return std::nullopt;
  }
  return request;
}

Json parseRequestJson(std::string_view text) {
  require(!nestsDeeperThan(text, kMaxRequestNesting),
          "JSON text nests arrays or objects too deeply");
  try {
    return Json::parse(text);
  } catch (const Json::exception& error) {
    // Not only syntax errors: a number too large for a double ("1e99999") is an out_of_range
    // error, and letting it escape would end the whole process. The parser quotes the
    // offending bytes; they may not be UTF-8, and the reply must be, or it would be
    // serialised as "{}".
    throw BrokerFailure(validUtf8(error.what()));
  }
}

}  // namespace tamber
