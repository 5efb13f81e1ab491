#include "base/reply.h"

namespace tamber {

std::string jsonData(const Json& value) noexcept {
  try {
    // nlohmann's objects are ordered maps, so keys come out sorted; strict UTF-8 handling
    // throws on invalid bytes instead of writing JSON that no reader accepts.
    return value.dump(-1, ' ', false, Json::error_handler_t::strict);
  } catch (...) {
    return "{}";
  }
}

// Member by member, not from braced lists, which build a temporary array for every pair.
Json successReply() {
  Json reply = Json::object();
  reply["ok"] = true;
  return reply;
}

Json failureReply(std::string_view text) {
  Json reply = Json::object();
  reply["error"] = std::string(text);
  reply["ok"] = false;
  return reply;
}

std::optional<std::string> stringMember(const Json& object, const char* key) {
  if (!object.is_object()) {
    return std::nullopt;
  }
  const auto found = object.find(key);
  if (found == object.end() || !found->is_string()) {
    return std::nullopt;
  }
  return found->get_ref<const std::string&>();
}

bool isSuccessReply(const Json& reply) {
  if (!reply.is_object()) {
    return false;
  }
  auto ok = reply.find("ok");
  return ok != reply.end() && ok->is_boolean() && ok->get<bool>();
}

}  // namespace tamber
