#include "agent/request_json.h"

#include <algorithm>

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

}  // namespace

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
