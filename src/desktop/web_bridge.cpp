#include "desktop/web_bridge.h"

#include "base/reply.h"

namespace tamber::desktop {
namespace {

// The DOM event that carries a message from the page's world to the relay. DOM events cross
// script worlds; a string detail crosses unchanged.
constexpr const char* kRelayEvent = "tamber-bridge-message";

// The message's object, when it came from the main frame of the engine's page; discarded
// otherwise.
Json engineMessage(const BridgeSender& sender, int port, std::string_view body) {
  if (!sender.mainFrame || sender.host != "127.0.0.1" || sender.port != port) {
    return Json(Json::value_t::discarded);
  }
  return Json::parse(body.begin(), body.end(), nullptr, false);
}

}  // namespace

std::optional<BridgeAction> bridgeAction(const BridgeSender& sender, int port,
                                         std::string_view body) {
  const Json message = engineMessage(sender, port, body);
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

std::optional<std::int64_t> bridgeUndoChange(const BridgeSender& sender, int port,
                                             std::string_view body) {
  const Json message = engineMessage(sender, port, body);
  if (stringMember(message, "action") != "undo") {
    return std::nullopt;
  }
  const auto change = message.find("change");  // an object, since it has an "action"
  if (change == message.end() || !change->is_number_integer() || change->get<std::int64_t>() < 1) {
    return std::nullopt;
  }
  return change->get<std::int64_t>();
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
