#include "base/reply.h"

#include <algorithm>
#include <charconv>
#include <cstdint>

#include "base/text.h"

namespace tamber {
namespace {

template <typename Integer>
void appendInteger(std::string& out, Integer value) {
  char digits[24];
  const auto written = std::to_chars(digits, digits + sizeof digits, value);
  out.append(digits, written.ptr);
}

// Writes `value` as the JSON library's compact dump does. A string that is not valid UTF-8
// makes it return false (`out` then holds a part) unless `replace`, which writes it with
// U+FFFD in place of its ill-formed sequences. Replies are written on every request, and the
// library's writer, which looks at every character in turn, costs several times more.
bool appendJson(std::string& out, const Json& value, bool replace) {
  const auto appendText = [&](const std::string& text) {
    if (isAscii(text) || isValidUtf8(text)) {
      appendJsonString(out, text);
      return true;
    }
    if (replace) {
      appendJsonString(out, validUtf8(text));
    }
    return replace;
  };
  switch (value.type()) {
    case Json::value_t::null:
      out += "null";
      return true;
    case Json::value_t::boolean:
      out += value.get<bool>() ? "true" : "false";
      return true;
    case Json::value_t::number_integer:
      appendInteger(out, value.get<std::int64_t>());
      return true;
    case Json::value_t::number_unsigned:
      appendInteger(out, value.get<std::uint64_t>());
      return true;
    case Json::value_t::number_float:
      out += value.dump();  // the library's own shortest form, which never fails
      return true;
    case Json::value_t::string:
      return appendText(value.get_ref<const std::string&>());
    case Json::value_t::array: {
      out.push_back('[');
      const char* separator = "";
      for (const Json& element : value.get_ref<const Json::array_t&>()) {
        out += separator;
        separator = ",";
        if (!appendJson(out, element, replace)) {
          return false;
        }
      }
      out.push_back(']');
      return true;
    }
    case Json::value_t::object: {
      out.push_back('{');
      const char* separator = "";
      for (const auto& [key, member] : value.get_ref<const Json::object_t&>()) {
        out += separator;
        separator = ",";
        if (!appendText(key)) {
          return false;
        }
        out.push_back(':');
        if (!appendJson(out, member, replace)) {
          return false;
        }
      }
      out.push_back('}');
      return true;
    }
    case Json::value_t::binary:
    case Json::value_t::discarded:
      break;
  }
  return false;
}

}  // namespace

std::string jsonData(const Json& value) noexcept {
  // nlohmann's objects are ordered maps, so keys come out sorted; a string that is not UTF-8
  // fails the whole value instead of writing JSON that no reader accepts.
  try {
    std::string out;
    out.reserve(256);  // most replies in one allocation
    if (appendJson(out, value, false)) {
      return out;
    }
    // What the writer above stops at: the library throws for text that is not UTF-8, and
    // writes the binary values it alone knows.
    return value.dump(-1, ' ', false, Json::error_handler_t::strict);
  } catch (...) {
    return "{}";
  }
}

std::string jsonText(const Json& value) {
  std::string out;
  out.reserve(256);
  appendJson(out, value, true);
  return out;
}

void appendJsonString(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  const auto needsEscape = [](char c) {
    return c == '"' || c == '\\' || static_cast<unsigned char>(c) < 0x20;
  };
  out.push_back('"');
  for (auto plain = text.begin(); plain != text.end();) {
    // Whole runs of characters that stand as they are, then one escape.
    const auto special = std::find_if(plain, text.end(), needsEscape);
    out.append(plain, special);
    if (special == text.end()) {
      break;
    }
    switch (const char c = *special) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        out += "\\u00";
        out.push_back(kHex[(c >> 4) & 0xf]);
        out.push_back(kHex[c & 0xf]);
    }
    plain = special + 1;
  }
  out.push_back('"');
}

ActionReply::ActionReply() {
  members_.reserve(8);  // no action sets more
  setBool("ok", true);
}

ActionReply& ActionReply::set(std::string_view key, std::string value) {
  // Kept in key order as they come: replies have a handful of members.
  auto at =
      std::lower_bound(members_.begin(), members_.end(), key,
                       [](const Member& member, std::string_view k) { return member.key < k; });
  if (at != members_.end() && at->key == key) {
    at->value = std::move(value);
  } else {
    members_.insert(at, Member{key, std::move(value)});
  }
  return *this;
}

ActionReply& ActionReply::setBool(std::string_view key, bool value) {
  return set(key, value ? "true" : "false");
}

ActionReply& ActionReply::setInteger(std::string_view key, std::int64_t value) {
  std::string text;
  appendInteger(text, value);
  return set(key, std::move(text));
}

ActionReply& ActionReply::setNull(std::string_view key) {
  return set(key, "null");
}

ActionReply& ActionReply::setString(std::string_view key, std::string_view text) {
  validUtf8_ = validUtf8_ && isValidUtf8(text);
  std::string value;
  value.reserve(text.size() + 2);
  appendJsonString(value, text);
  return set(key, std::move(value));
}

ActionReply& ActionReply::setStrings(std::string_view key, const std::vector<std::string>& texts) {
  std::string value = "[";
  for (const std::string& text : texts) {
    validUtf8_ = validUtf8_ && isValidUtf8(text);
    if (value.size() > 1) {
      value.push_back(',');
    }
    appendJsonString(value, text);
  }
  value.push_back(']');
  return set(key, std::move(value));
}

std::string ActionReply::text() const noexcept {
  if (!validUtf8_) {
    return "{}";
  }
  try {
    std::string out;
    out.reserve(128);
    out.push_back('{');
    for (const Member& member : members_) {
      if (out.size() > 1) {
        out.push_back(',');
      }
      appendJsonString(out, member.key);
      out.push_back(':');
      out += member.value;
    }
    out.push_back('}');
    return out;
  } catch (...) {
    return "{}";
  }
}

Json ActionReply::json() const {
  return Json::parse(text());
}

// Member by member, not from braced lists, which build a temporary array for every pair.
Json failureReply(std::string_view text) {
  Json reply = Json::object();
  reply["error"] = std::string(text);
  reply["ok"] = false;
  return reply;
}

std::optional<std::string_view> stringMember(const Json& object, std::string_view key) {
  if (!object.is_object()) {
    return std::nullopt;
  }
  const auto found = object.find(key);
  if (found == object.end() || !found->is_string()) {
    return std::nullopt;
  }
  return found->get_ref<const std::string&>();
}

std::optional<bool> boolMember(const Json& object, std::string_view key) {
  if (!object.is_object()) {
    return std::nullopt;
  }
  const auto found = object.find(key);
  if (found == object.end() || !found->is_boolean()) {
    return std::nullopt;
  }
  return found->get<bool>();
}

bool isSuccessReply(const Json& reply) {
  return boolMember(reply, "ok").value_or(false);
}

}  // namespace tamber
