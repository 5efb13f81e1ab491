#pragma once

#include <optional>
#include <string_view>

#include "base/reply.h"
#include "base/request_view.h"

namespace tamber {

// Deepest nesting of arrays and objects accepted in a request; copying or serialising a
// value recurses once per level, so an agent must not be able to choose the depth.
inline constexpr int kMaxRequestNesting = 512;

// Parses the text of a request (an agent's, or the helper's decoded one) as JSON. Throws a
// BrokerFailure carrying the parser's own description (made valid UTF-8, since it quotes the
// offending bytes) when the text is not JSON, or "JSON text nests arrays or objects too
// deeply" beyond kMaxRequestNesting levels. Any JSON value is returned; callers check that it
// is an object.
Json parseRequestJson(std::string_view text);

// The request almost every agent sends, read without the full parser: one object whose
// members are all strings of printable ASCII without escapes, with JSON's whitespace around,
// and at most PlainRequest::kMaxMembers of them. Anything else (a number, nesting, an escape,
// a control or non-ASCII byte) returns nullopt and is left to parseRequestJson. What it
// accepts, it reads exactly as the full parser would: PlainRequest::toJson is the parser's
// value. The result views `text`.
std::optional<PlainRequest> parsePlainRequest(std::string_view text);

}  // namespace tamber
