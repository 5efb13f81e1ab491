#include "desktop/web_bridge.h"

#include "base/reply.h"

namespace tamber::desktop {
namespace {

// The DOM event that carries a message from the page's world to the relay. DOM events cross
// script worlds; a string detail crosses unchanged.
constexpr const char* kRelayEvent = "tamber-bridge-message";

}  // namespace

std::optional<BridgeAction> bridgeAction(const BridgeSender& sender, int port,
                                         std::string_view body) {
  if (!sender.mainFrame || sender.host != "127.0.0.1" || sender.port != port) {
    return std::nullopt;
  }
  const Json message = Json::parse(body.begin(), body.end(), nullptr, false);
  const std::optional<std::string_view> action = stringMember(message, "action");
  if (!action) {
    return std::nullopt;
  }
  const std::string_view name = *action;
  if (name == "invite") {
    return BridgeAction::Invite;
  }
  if (name == "grantOrdinary") {
    return BridgeAction::GrantOrdinary;
  }
  if (name == "grantElevated") {
    return BridgeAction::GrantElevated;
  }
  if (name == "manageGrants") {
    return BridgeAction::ManageGrants;
  }
  return std::nullopt;
}

std::string bridgePageScript() {
  return std::string(R"JS((function () {
  'use strict';
  if (window.webkit !== undefined) {
    return;
  }
  const tamber = Object.freeze({
    postMessage(value) {
      let text;
      try {
        text = JSON.stringify(value);
      } catch (error) {
        return;
      }
      if (typeof text === 'string') {
        document.dispatchEvent(new CustomEvent(')JS") +
         kRelayEvent + R"JS(', { detail: text }));
      }
    },
  });
  Object.defineProperty(window, 'webkit', {
    value: Object.freeze({ messageHandlers: Object.freeze({ tamber }) }),
  });
})();
)JS";
}

std::string bridgeRelayScript(int port) {
  return std::string(R"JS((function () {
  'use strict';
  const port = ')JS") +
         std::to_string(port) + R"JS(';
  const handler = window.webkit.messageHandlers.)JS" +
         kBridgeHandlerName + R"JS(;
  document.addEventListener(')JS" +
         kRelayEvent + R"JS(', function (event) {
    if (window.top !== window || location.protocol !== 'http:' ||
        location.hostname !== '127.0.0.1' || location.port !== port) {
      return;
    }
    if (typeof event.detail === 'string') {
      handler.postMessage(event.detail);
    }
  });
})();
)JS";
}

}  // namespace tamber::desktop
