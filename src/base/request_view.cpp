#include "base/request_view.h"

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

}  // namespace tamber
