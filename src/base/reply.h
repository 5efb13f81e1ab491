#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <string_view>

namespace tamber {

using Json = nlohmann::json;

// Serialises `value` compactly as UTF-8 with every object's keys in sorted order and no
// trailing newline. Never throws: a value that cannot be serialised (for example a string
// holding invalid UTF-8) yields "{}", which readers treat as an unsuccessful reply.
std::string jsonData(const Json& value) noexcept;

// Appends `text`, which must be valid UTF-8, as a JSON string exactly as jsonData writes one:
// the quote, the backslash and control characters escaped, everything else as it is.
void appendJsonString(std::string& out, std::string_view text);

// {"ok": true}; actions add their own fields to it.
Json successReply();

// {"error": text, "ok": false}: the whole failure envelope, nothing else.
Json failureReply(std::string_view text);

// The member `key` of `object` when it is a string; nothing when it is absent, of another JSON
// type, or `object` is not an object.
std::optional<std::string> stringMember(const Json& object, const char* key);

// True only when `reply` is an object whose "ok" is the JSON boolean true.
bool isSuccessReply(const Json& reply);

}  // namespace tamber
