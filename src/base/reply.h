#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tamber {

using Json = nlohmann::json;

// Serialises `value` compactly as UTF-8 with every object's keys in sorted order and no
// trailing newline. Never throws: a value that cannot be serialised (for example a string
// holding invalid UTF-8) yields "{}", which readers treat as an unsuccessful reply.
std::string jsonData(const Json& value) noexcept;

// The same text as jsonData for a value whose strings are all valid UTF-8; where one is not,
// its ill-formed sequences are written as U+FFFD instead of the whole failing. For messages
// that must go out whatever they quote.
std::string jsonText(const Json& value);

// Appends `text`, which must be valid UTF-8, as a JSON string exactly as jsonData writes one:
// the quote, the backslash and control characters escaped, everything else as it is.
void appendJsonString(std::string& out, std::string_view text);

// The value of the JSON `text` when it uses only the plainest JSON: objects and arrays nested at
// most 64 deep, strings of printable ASCII without escapes, integers that fit 64 bits, true,
// false and null, with JSON's whitespace around. Nothing for any other text, which the full
// parser must read (or refuse); what it returns is what that parser would, integers of the
// same signedness included. Most protocol messages and broker replies are plain, and this
// reads them several times faster.
std::optional<Json> parsePlainJson(std::string_view text);

// {"error": text, "ok": false}: the whole failure envelope, nothing else.
Json failureReply(std::string_view text);

// The success reply of an action: {"ok": true} and the action's own members, each kept as
// its JSON text and written in key order, so that text() is byte for byte what jsonData
// writes for json(). The broker sends one for every request it performs, and a JSON value
// would cost an allocation or two per member. Keys must outlive the reply (they are string
// literals at every call); setting a key again replaces its value.
class ActionReply {
 public:
  ActionReply();

  ActionReply& setBool(std::string_view key, bool value);
  ActionReply& setInteger(std::string_view key, std::int64_t value);
  ActionReply& setNull(std::string_view key);
  ActionReply& setString(std::string_view key, std::string_view text);
  ActionReply& setStrings(std::string_view key, const std::vector<std::string>& texts);

  // The reply's JSON text; "{}", as jsonData writes for it, when a string is not valid UTF-8
  // (or memory runs out). Never throws.
  std::string text() const noexcept;

  // The same reply as a JSON value, for callers that read its members.
  Json json() const;

 private:
  struct Member {
    std::string_view key;
    std::string value;  // JSON text
  };

  ActionReply& set(std::string_view key, std::string value);

  std::vector<Member> members_;
  bool validUtf8_ = true;
};

// The member `key` of `object` when it is a string; nothing when it is absent, of another JSON
// type, or `object` is not an object. A view into `object`.
std::optional<std::string_view> stringMember(const Json& object, std::string_view key);

// The member `key` of `object` when it is a JSON boolean; nothing otherwise, as stringMember.
std::optional<bool> boolMember(const Json& object, std::string_view key);

// True only when `reply` is an object whose "ok" is the JSON boolean true.
bool isSuccessReply(const Json& reply);

}  // namespace tamber
