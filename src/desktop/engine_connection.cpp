#include "desktop/engine_connection.h"

#include <exception>

#include "base/reply.h"

namespace tamber::desktop {

bool isEngineIdentity(const std::optional<std::string_view>& body) {
  if (!body) {
    return false;
  }
  const Json reply = Json::parse(body->begin(), body->end(), nullptr, false);
  return stringMember(reply, "product") == "Tamber";
}

void EngineConnection::connect(int attempt) {
  host_.probe([this, attempt](bool identified) { probed(attempt, identified); });
}

void EngineConnection::probed(int attempt, bool identified) {
  if (identified) {
    host_.loadPage();
    return;
  }
  if (attempt == 0) {
    // Only now: an engine that already answers at the port is used as it is.
    try {
      host_.startEngine();
    } catch (const std::exception& failure) {
      host_.alert(kEngineUnavailableTitle, failure.what());
      return;
    }
  } else if (attempt >= kLastProbeAttempt) {
    host_.alert(kEngineUnavailableTitle, kEngineUnreachableText);
    return;
  }
  host_.after(kProbeRetryDelay, [this, attempt] { connect(attempt + 1); });
}

}  // namespace tamber::desktop
