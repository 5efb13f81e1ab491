#include "base/reply.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>

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

constexpr int kPlainNesting = 64;

class PlainReader {
 public:
  explicit PlainReader(std::string_view text) : text_(text) {}

  std::optional<Json> document() {
    std::optional<Json> value = this->value(0);
    skipSpace();
    return at_ == text_.size() ? std::move(value) : std::nullopt;
  }

 private:
  void skipSpace() {
    while (at_ < text_.size() &&
           (text_[at_] == ' ' || text_[at_] == '\t' || text_[at_] == '\n' || text_[at_] == '\r')) {
      ++at_;
    }
  }

  bool take(char expected) {
    skipSpace();
    if (at_ < text_.size() && text_[at_] == expected) {
      ++at_;
      return true;
    }
    return false;
  }

  std::optional<std::string> string() {
    if (!take('"')) {
      return std::nullopt;
    }
    const size_t begin = at_;
    for (; at_ < text_.size() && text_[at_] != '"'; ++at_) {
      if (text_[at_] < 0x20 || text_[at_] > 0x7e || text_[at_] == '\\') {
        return std::nullopt;
      }
    }
    if (at_ == text_.size()) {
      return std::nullopt;
    }
    return std::string(text_.substr(begin, at_++ - begin));
  }

  std::optional<Json> number() {
    const char* const first = text_.data() + at_;
    const char* const last = text_.data() + text_.size();
    const bool negative = *first == '-';
    const char* const digits = first + (negative ? 1 : 0);
    if (digits == last || *digits < '0' || *digits > '9') {
      return std::nullopt;
    }
    Json number;
    std::from_chars_result read{};
    if (negative) {
      std::int64_t value = 0;
      read = std::from_chars(first, last, value);
      number = value;
    } else {
      std::uint64_t value = 0;
      read = std::from_chars(first, last, value);
      number = value;
    }
    // JSON has no leading zeros; a fraction, an exponent or a number beyond 64 bits is the
    // full parser's (it reads them as floating point).
    if (read.ec != std::errc() || (*digits == '0' && read.ptr - digits > 1) ||
        (read.ptr != last && (*read.ptr == '.' || *read.ptr == 'e' || *read.ptr == 'E'))) {
      return std::nullopt;
    }
    at_ = static_cast<size_t>(read.ptr - text_.data());
    return number;
  }

  bool literal(std::string_view word) {
    if (text_.substr(at_, word.size()) != word) {
      return false;
    }
    at_ += word.size();
    return true;
  }

  std::optional<Json> value(int depth) {
    skipSpace();
    if (at_ >= text_.size() || depth > kPlainNesting) {
      return std::nullopt;
    }
    switch (text_[at_]) {
      case '"': {
        std::optional<std::string> text = string();
        return text ? std::optional<Json>(std::move(*text)) : std::nullopt;
      }
      case '{': {
        ++at_;
        Json object = Json::object();
        if (take('}')) {
          return object;
        }
        do {
          skipSpace();
          std::optional<std::string> key = string();
          if (!key || !take(':')) {
            return std::nullopt;
          }
          std::optional<Json> member = value(depth + 1);
          if (!member) {
            return std::nullopt;
          }
          object[std::move(*key)] = std::move(*member);  // a repeated key: the last stands
        } while (take(','));
        return take('}') ? std::optional<Json>(std::move(object)) : std::nullopt;
      }
      case '[': {
        ++at_;
        Json array = Json::array();
        if (take(']')) {
          return array;
        }
        do {
          std::optional<Json> element = value(depth + 1);
          if (!element) {
            return std::nullopt;
          }
          array.push_back(std::move(*element));
        } while (take(','));
        return take(']') ? std::optional<Json>(std::move(array)) : std::nullopt;
      }
      default:
        if (literal("true")) {
          return Json(true);
        }
        if (literal("false")) {
          return Json(false);
        }
        if (literal("null")) {
          return Json(nullptr);
        }
        return number();
    }
  }

  std::string_view text_;
  size_t at_ = 0;
};

}  // namespace

std::optional<Json> parsePlainJson(std::string_view text) {
  return PlainReader(text).document();
}

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
  // Eight bytes at a time while none of them needs an escape: a byte equal to '"' or '\\' is
  // a zero byte after the XOR, and one below 0x20 borrows when 0x20 is taken from it.
  const auto wordNeedsEscape = [](std::uint64_t word) {
    constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
    constexpr std::uint64_t kHighs = 0x8080808080808080ULL;
    const auto hasZero = [](std::uint64_t v) { return (v - kOnes) & ~v & kHighs; };
    return (hasZero(word ^ (kOnes * '"')) | hasZero(word ^ (kOnes * '\\')) |
            ((word - kOnes * 0x20) & ~word & kHighs)) != 0;
  };
  out.reserve(out.size() + text.size() + 2);
  out.push_back('"');
  for (auto plain = text.begin(); plain != text.end();) {
    // Whole runs of characters that stand as they are, then one escape.
    auto special = plain;
    for (std::uint64_t word = 0; text.end() - special >= 8; special += 8) {
      std::memcpy(&word, &*special, 8);
      if (wordNeedsEscape(word)) {
        break;
      }
    }
    special = std::find_if(special, text.end(), needsEscape);
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
