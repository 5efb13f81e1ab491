#include "base/request_view.h"

#include <limits>
#include <string>

namespace tamber {

Json PlainRequest::toJson() const {
  Json object = Json::object();
  for (size_t i = 0; i < count; ++i) {
    object[std::string(members[i].first)] = std::string(members[i].second);
  }
  return object;
}

std::optional<std::string_view> RequestView::string(std::string_view key) const {
  if (plain_ != nullptr) {
    for (size_t i = plain_->count; i-- > 0;) {
      if (plain_->members[i].first == key) {
        return plain_->members[i].second;
      }
    }
    return std::nullopt;
  }
  return stringMember(*json_, key);
}

bool RequestView::has(std::string_view key) const {
  if (plain_ != nullptr) {
    for (size_t i = 0; i < plain_->count; ++i) {
      if (plain_->members[i].first == key) {
        return true;
      }
    }
    return false;
  }
  return json_->is_object() && json_->contains(key);
}

std::optional<std::int64_t> RequestView::wholeNumber(std::string_view key) const {
  if (plain_ != nullptr || !json_->is_object()) {
    return std::nullopt;
  }
  const auto found = json_->find(key);
  if (found == json_->end()) {
    return std::nullopt;
  }
  constexpr auto kLargest = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  if (found->is_number_unsigned() && found->get<std::uint64_t>() <= kLargest) {
    return static_cast<std::int64_t>(found->get<std::uint64_t>());
  }
  if (found->is_number_integer() && !found->is_number_unsigned() &&
      found->get<std::int64_t>() >= 0) {
    return found->get<std::int64_t>();
  }
  return std::nullopt;
}

}  // namespace tamber
