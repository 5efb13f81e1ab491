#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>

#include "base/reply.h"

namespace tamber {

// The request almost every agent sends: one object whose members are all strings of printable
// ASCII without escapes. Keys and values are views of the text it was read from, which must
// outlive it; a key may repeat, as it may in JSON text.
struct PlainRequest {
  static constexpr size_t kMaxMembers = 16;

  std::array<std::pair<std::string_view, std::string_view>, kMaxMembers> members;
  size_t count = 0;

  // The object the JSON library would have read from the same text: the last of a repeated
  // key wins.
  Json toJson() const;
};

// What the broker reads from a request: its string members, whether the request was read as
// a plain request or parsed in full. A view: the request must outlive it.
class RequestView {
 public:
  RequestView(const Json& request) : json_(&request) {}           // NOLINT: implicit on purpose
  RequestView(const PlainRequest& request) : plain_(&request) {}  // NOLINT: implicit on purpose

  // The member `key` when it is a string; nothing when it is absent, of another JSON type, or
  // the request is not an object. Of a repeated key, the last.
  std::optional<std::string_view> string(std::string_view key) const;

  // Whether the request is an object with a member `key`, whatever its value.
  bool has(std::string_view key) const;

  // The member `key` when it is a JSON integer from 0 to 2^63 - 1; nothing when it is absent
  // or anything else (a string, a fraction, a negative or larger number). A plain request
  // holds strings only, so it never has one.
  std::optional<std::int64_t> wholeNumber(std::string_view key) const;

 private:
  const Json* json_ = nullptr;
  const PlainRequest* plain_ = nullptr;
};

}  // namespace tamber
