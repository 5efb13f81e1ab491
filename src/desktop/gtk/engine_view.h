#pragma once

#include <webkit2/webkit2.h>

#include <functional>
#include <optional>
#include <string>

#include "desktop/web_bridge.h"

namespace tamber::desktop {

// The web view that shows the engine's page: its own ephemeral website data (cookies,
// storage and caches last as long as the process), no proxy, no downloads, no new windows,
// every navigation of every frame held to the engine's address, and the "tamber" bridge
// offered to the top-level document of the engine's page only.
//
// Threads: the UI thread only.
class EngineView {
 public:
  struct Events {
    // A load of the main frame finished without error.
    std::function<void()> pageLoaded;
    // The page posted `body` (JSON text) to the bridge; `sender` is what WebKit reports.
    std::function<void(const BridgeSender& sender, const std::string& body)> bridgeMessage;
  };

  // `port` is the engine's; `events` are called on the UI thread.
  EngineView(int port, Events events);
  ~EngineView();
  EngineView(const EngineView&) = delete;
  EngineView& operator=(const EngineView&) = delete;

  // The view's widget, owned by its container once added to one.
  GtkWidget* widget() const { return GTK_WIDGET(view_); }
  WebKitWebView* webView() const { return view_; }

  // Loads `uri` into the main frame (the navigation policy still decides). With a `secret`,
  // first gives the view the engine's page cookie (kPageCookieName) for the engine's own
  // address: host-only for 127.0.0.1, HTTP-only, same-site strict, gone with the process.
  void load(const std::string& uri, const std::optional<std::string>& secret = std::nullopt);

  // Loads the page shown now again, as a new load.
  void reload();

  // Writes a PNG of the visible page to `path` (through a temporary file, so that a reader
  // never sees half a picture) and then calls `done` with whether it was written.
  void snapshot(const std::string& path, std::function<void(bool written)> done);

 private:
  static gboolean decidePolicy(WebKitWebView* view, WebKitPolicyDecision* decision,
                               WebKitPolicyDecisionType type, gpointer self);
  static void loadChanged(WebKitWebView* view, WebKitLoadEvent event, gpointer self);
  static gboolean loadFailed(WebKitWebView* view, WebKitLoadEvent event, char* uri, GError* error,
                             gpointer self);
  static void scriptMessage(WebKitUserContentManager* manager, WebKitJavascriptResult* result,
                            gpointer self);

  int port_;
  Events events_;
  WebKitWebView* view_ = nullptr;
  bool loadFailed_ = false;
};

}  // namespace tamber::desktop
