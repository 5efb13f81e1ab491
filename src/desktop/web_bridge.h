#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tamber::desktop {

// What the engine's page may ask of the desktop.
enum class BridgeAction { Invite, GrantOrdinary, GrantElevated, ManageGrants };

// Where a bridge message came from, as WebKit reports it (never as the page describes
// itself): whether it was posted from the window's main frame, and the host and port of
// that frame's origin.
struct BridgeSender {
  bool mainFrame = false;
  std::string host;
  int port = -1;
};

// The action a bridge message asks for, or nullopt when the message is to be dropped
// silently. `body` is the posted value as JSON text. Checks, first failure wins: the main
// frame, the host "127.0.0.1", the port `port`, a JSON object, a string "action", and one of
// "invite", "grantOrdinary", "grantElevated", "manageGrants" exactly. Other members are
// ignored.
std::optional<BridgeAction> bridgeAction(const BridgeSender& sender, int port,
                                         std::string_view body);

// The change an "Undo" of the activity view asks to undo, or nullopt when the message is to be
// dropped silently: the same checks of where it came from and of the object, then the action
// "undo" exactly and a "change" that is a whole JSON number of 1 or more. The desktop then
// asks the person; the message itself decides nothing.
std::optional<std::int64_t> bridgeUndoChange(const BridgeSender& sender, int port,
                                             std::string_view body);

// The script message handler's name, and the isolated script world it lives in. The page's
// own scripts cannot reach that world; only the relay below runs in it.
inline constexpr const char* kBridgeHandlerName = "tamber";
inline constexpr const char* kBridgeWorldName = "tamber-bridge";

// The pages both bridge scripts are injected into, and only into top-level documents: WebKit
// matches this pattern itself. A pattern cannot name a port, so the relay checks that.
inline constexpr const char* kBridgeOriginPattern = "http://127.0.0.1/*";

// Runs in the page's own world of the top-level document: provides
// window.webkit.messageHandlers.tamber.postMessage(value) to the page and hands each value,
// as JSON text, to the relay. Values that JSON cannot express are dropped.
std::string bridgePageScript();

// Runs in the bridge's isolated world of the top-level document: forwards the page's JSON
// texts to the handler, but only while the document is the engine's page at `port`.
std::string bridgeRelayScript(int port);

}  // namespace tamber::desktop
