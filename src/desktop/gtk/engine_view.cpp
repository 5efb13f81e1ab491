#include "desktop/gtk/engine_view.h"

#include <cstdio>
#include <initializer_list>
#include <memory>

#include "base/page_secret.h"
#include "desktop/navigation.h"

namespace tamber::desktop {
namespace {

// Nothing reaches the disk or another application from the page: a download (a link, a
// response the view cannot show, or the context menu) is cancelled as it starts.
void cancelDownload(WebKitWebContext*, WebKitDownload* download, gpointer) {
  webkit_download_cancel(download);
}

// Takes out the context-menu entries that would open a window or save a file.
gboolean trimContextMenu(WebKitWebView*, WebKitContextMenu* menu, GdkEvent*, WebKitHitTestResult*,
                         gpointer) {
  const std::initializer_list<WebKitContextMenuAction> refused{
      WEBKIT_CONTEXT_MENU_ACTION_OPEN_LINK_IN_NEW_WINDOW,
      WEBKIT_CONTEXT_MENU_ACTION_DOWNLOAD_LINK_TO_DISK,
      WEBKIT_CONTEXT_MENU_ACTION_OPEN_IMAGE_IN_NEW_WINDOW,
      WEBKIT_CONTEXT_MENU_ACTION_DOWNLOAD_IMAGE_TO_DISK,
      WEBKIT_CONTEXT_MENU_ACTION_OPEN_FRAME_IN_NEW_WINDOW,
      WEBKIT_CONTEXT_MENU_ACTION_OPEN_VIDEO_IN_NEW_WINDOW,
      WEBKIT_CONTEXT_MENU_ACTION_OPEN_AUDIO_IN_NEW_WINDOW,
      WEBKIT_CONTEXT_MENU_ACTION_DOWNLOAD_VIDEO_TO_DISK,
      WEBKIT_CONTEXT_MENU_ACTION_DOWNLOAD_AUDIO_TO_DISK,
      WEBKIT_CONTEXT_MENU_ACTION_INSPECT_ELEMENT,
  };
  GList* items = g_list_copy(webkit_context_menu_get_items(menu));
  for (GList* entry = items; entry != nullptr; entry = entry->next) {
    auto* item = static_cast<WebKitContextMenuItem*>(entry->data);
    const WebKitContextMenuAction action = webkit_context_menu_item_get_stock_action(item);
    for (WebKitContextMenuAction bad : refused) {
      if (action == bad) {
        webkit_context_menu_remove(menu, item);
        break;
      }
    }
  }
  g_list_free(items);
  return FALSE;
}

gboolean denyPermission(WebKitWebView*, WebKitPermissionRequest* request, gpointer) {
  webkit_permission_request_deny(request);
  return TRUE;
}

}  // namespace

EngineView::EngineView(int port, Events events) : port_(port), events_(std::move(events)) {
  WebKitWebsiteDataManager* data = webkit_website_data_manager_new_ephemeral();
  // The page lives on this machine: a proxy named by the environment must never see it.
  webkit_website_data_manager_set_network_proxy_settings(data, WEBKIT_NETWORK_PROXY_MODE_NO_PROXY,
                                                         nullptr);
  WebKitWebContext* context = webkit_web_context_new_with_website_data_manager(data);
  g_object_unref(data);
  g_signal_connect(context, "download-started", G_CALLBACK(cancelDownload), nullptr);

  // The bridge. WebKitGTK does not say which frame posted a script message, so the handler
  // lives in an isolated world that the page's scripts cannot enter, and the only script in
  // that world is the relay, which WebKit injects into top-level documents from 127.0.0.1
  // alone. A message thus always comes from the main frame of a page at that address; the
  // relay checks the port, and the handler checks the view's own address once more.
  WebKitUserContentManager* content = webkit_user_content_manager_new();
  g_signal_connect(content, "script-message-received::tamber", G_CALLBACK(scriptMessage), this);
  webkit_user_content_manager_register_script_message_handler_in_world(content, kBridgeHandlerName,
                                                                       kBridgeWorldName);
  const char* const origins[] = {kBridgeOriginPattern, nullptr};
  WebKitUserScript* page =
      webkit_user_script_new(bridgePageScript().c_str(), WEBKIT_USER_CONTENT_INJECT_TOP_FRAME,
                             WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, origins, nullptr);
  WebKitUserScript* relay = webkit_user_script_new_for_world(
      bridgeRelayScript(port_).c_str(), WEBKIT_USER_CONTENT_INJECT_TOP_FRAME,
      WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, kBridgeWorldName, origins, nullptr);
  webkit_user_content_manager_add_script(content, page);
  webkit_user_content_manager_add_script(content, relay);
  webkit_user_script_unref(page);
  webkit_user_script_unref(relay);

  view_ = WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", context,
                                       "user-content-manager", content, nullptr));
  g_object_ref_sink(view_);
  g_object_unref(context);
  g_object_unref(content);

  WebKitSettings* settings = webkit_web_view_get_settings(view_);
  webkit_settings_set_javascript_can_open_windows_automatically(settings, FALSE);
  webkit_settings_set_enable_developer_extras(settings, FALSE);

  g_signal_connect(view_, "decide-policy", G_CALLBACK(decidePolicy), this);
  g_signal_connect(view_, "load-changed", G_CALLBACK(loadChanged), this);
  g_signal_connect(view_, "load-failed", G_CALLBACK(loadFailed), this);
  g_signal_connect(view_, "context-menu", G_CALLBACK(trimContextMenu), nullptr);
  g_signal_connect(view_, "permission-request", G_CALLBACK(denyPermission), nullptr);
  // No "create" handler: a new-window request that passes the policy still opens nothing.
}

EngineView::~EngineView() {
  g_signal_handlers_disconnect_by_data(view_, this);
  g_signal_handlers_disconnect_by_data(webkit_web_view_get_user_content_manager(view_), this);
  g_object_unref(view_);
}

namespace {

struct PendingLoad {
  WebKitWebView* view;  // a reference of its own, so that the view outlives the wait
  std::string uri;
};

void cookieAdded(GObject* source, GAsyncResult* result, gpointer data) {
  std::unique_ptr<PendingLoad> load(static_cast<PendingLoad*>(data));
  // A cookie that could not be set leaves the page to say it is private; the load goes on.
  webkit_cookie_manager_add_cookie_finish(WEBKIT_COOKIE_MANAGER(source), result, nullptr);
  webkit_web_view_load_uri(load->view, load->uri.c_str());
  g_object_unref(load->view);
}

}  // namespace

void EngineView::load(const std::string& uri, const std::optional<std::string>& secret) {
  if (!secret) {
    webkit_web_view_load_uri(view_, uri.c_str());
    return;
  }
  // The engine's address is 127.0.0.1 at port_; a cookie cannot name a port, but this view
  // never requests any other port (the navigation policy and the page's own policy), so the
  // secret goes to the engine alone.
  SoupCookie* cookie = soup_cookie_new(kPageCookieName, secret->c_str(), "127.0.0.1", "/", -1);
  soup_cookie_set_http_only(cookie, TRUE);
  soup_cookie_set_same_site_policy(cookie, SOUP_SAME_SITE_POLICY_STRICT);
  WebKitCookieManager* cookies = webkit_website_data_manager_get_cookie_manager(
      webkit_web_view_get_website_data_manager(view_));
  webkit_cookie_manager_add_cookie(cookies, cookie, nullptr, cookieAdded,
                                   new PendingLoad{WEBKIT_WEB_VIEW(g_object_ref(view_)), uri});
  soup_cookie_free(cookie);
}

void EngineView::reload() {
  webkit_web_view_reload(view_);
}

gboolean EngineView::decidePolicy(WebKitWebView*, WebKitPolicyDecision* decision,
                                  WebKitPolicyDecisionType type, gpointer self) {
  auto* view = static_cast<EngineView*>(self);
  switch (type) {
    case WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION:
    case WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION: {
      WebKitNavigationAction* action = webkit_navigation_policy_decision_get_navigation_action(
          WEBKIT_NAVIGATION_POLICY_DECISION(decision));
      WebKitURIRequest* request = webkit_navigation_action_get_request(action);
      const char* uri = request != nullptr ? webkit_uri_request_get_uri(request) : nullptr;
      if (navigationAllowed(uri, view->port_)) {
        webkit_policy_decision_use(decision);
      } else {
        webkit_policy_decision_ignore(decision);
      }
      return TRUE;
    }
    case WEBKIT_POLICY_DECISION_TYPE_RESPONSE: {
      // What the view cannot show is dropped, never saved.
      auto* response = WEBKIT_RESPONSE_POLICY_DECISION(decision);
      if (webkit_response_policy_decision_is_mime_type_supported(response)) {
        webkit_policy_decision_use(decision);
      } else {
        webkit_policy_decision_ignore(decision);
      }
      return TRUE;
    }
    default:
      webkit_policy_decision_ignore(decision);
      return TRUE;
  }
}

void EngineView::loadChanged(WebKitWebView*, WebKitLoadEvent event, gpointer self) {
  auto* view = static_cast<EngineView*>(self);
  if (event == WEBKIT_LOAD_STARTED) {
    view->loadFailed_ = false;
  } else if (event == WEBKIT_LOAD_FINISHED && !view->loadFailed_ && view->events_.pageLoaded) {
    view->events_.pageLoaded();
  }
}

gboolean EngineView::loadFailed(WebKitWebView*, WebKitLoadEvent, char*, GError*, gpointer self) {
  static_cast<EngineView*>(self)->loadFailed_ = true;
  return FALSE;  // WebKit's own error page for an unreachable engine is fine
}

void EngineView::scriptMessage(WebKitUserContentManager*, WebKitJavascriptResult* result,
                               gpointer self) {
  auto* view = static_cast<EngineView*>(self);
  JSCValue* value = webkit_javascript_result_get_js_value(result);
  // The relay only ever posts the page's message as JSON text.
  if (!jsc_value_is_string(value) || !view->events_.bridgeMessage) {
    return;
  }
  char* text = jsc_value_to_string(value);
  // Only the main frame can reach the handler (see the constructor); its origin is the
  // address WebKit reports for the view's main frame.
  const PageAddress address = pageAddress(webkit_web_view_get_uri(view->view_));
  BridgeSender sender;
  sender.mainFrame = true;
  sender.host = address.host;
  sender.port = address.port;
  const std::string body = text != nullptr ? text : "";
  g_free(text);
  view->events_.bridgeMessage(sender, body);
}

namespace {

struct SnapshotCall {
  std::string path;
  std::function<void(bool)> done;
};

void snapshotTaken(GObject* source, GAsyncResult* result, gpointer data) {
  std::unique_ptr<SnapshotCall> call(static_cast<SnapshotCall*>(data));
  cairo_surface_t* surface =
      webkit_web_view_get_snapshot_finish(WEBKIT_WEB_VIEW(source), result, nullptr);
  bool written = false;
  if (surface != nullptr) {
    const std::string partial = call->path + ".partial";
    written = cairo_surface_write_to_png(surface, partial.c_str()) == CAIRO_STATUS_SUCCESS &&
              std::rename(partial.c_str(), call->path.c_str()) == 0;
    if (!written) {
      std::remove(partial.c_str());
    }
    cairo_surface_destroy(surface);
  }
  if (call->done) {
    call->done(written);
  }
}

}  // namespace

void EngineView::snapshot(const std::string& path, std::function<void(bool written)> done) {
  webkit_web_view_get_snapshot(view_, WEBKIT_SNAPSHOT_REGION_VISIBLE, WEBKIT_SNAPSHOT_OPTIONS_NONE,
                               nullptr, snapshotTaken, new SnapshotCall{path, std::move(done)});
}

}  // namespace tamber::desktop
