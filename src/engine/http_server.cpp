#include "engine/http_server.h"

#include <httplib.h>

#include <chrono>
#include <cstdlib>
#include <string_view>
#include <thread>

#include "base/failure.h"
#include "base/reply.h"
#include "engine/folder_report.h"
#include "engine/index_store.h"
#include "engine/page.h"
#include "engine/page_secret.h"
#include "engine/web_assets.h"

namespace tamber::engine {

namespace {

constexpr char kContentSecurityPolicy[] =
    "default-src 'self'; script-src 'self'; style-src 'self'; img-src 'self'; "
    "connect-src 'self'; object-src 'none'; base-uri 'none'; form-action 'none'; "
    "frame-ancestors 'none'";

struct StaticAsset {
  std::string_view path;
  std::string_view name;
  const char* contentType;
};

constexpr StaticAsset kAssets[] = {
    {"/style.css", "style.css", "text/css; charset=utf-8"},
    {"/bridge.js", "bridge.js", "text/javascript; charset=utf-8"},
    {"/page.js", "page.js", "text/javascript; charset=utf-8"},
    {"/icon.svg", "icon.svg", "image/svg+xml"},
};

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) {
    return false;
  }
  for (size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) {
      return false;
    }
  }
  return true;
}

void sendJson(httplib::Response& response, const Json& body) {
  response.status = 200;
  response.set_content(jsonData(body), "application/json");
}

void sendText(httplib::Response& response, int status, const char* text) {
  response.status = status;
  response.set_content(text, "text/plain; charset=utf-8");
}

}  // namespace

InventoryServer::InventoryServer(IndexService& index, std::string invitation, std::string secret,
                                 int port)
    : server_(std::make_unique<httplib::Server>()),
      index_(index),
      invitation_(std::move(invitation)),
      secret_(std::move(secret)),
      port_(port) {
  // Appended rather than `":" + std::to_string(...)`: GCC 12 misreads that inlined insert as
  // an overlapping copy (-Wrestrict) in optimised builds.
  std::string authority = ":";
  authority += std::to_string(port_);
  auto knownHost = [authority](const httplib::Request& request) {
    if (!request.has_header("Host")) {
      return true;  // HTTP/1.0 clients; browsers always send it
    }
    const std::string host = request.get_header_value("Host");
    return host == "127.0.0.1" + authority || equalsIgnoringCase(host, "localhost" + authority);
  };

  auto dispatch = [this, knownHost, authority](const httplib::Request& request,
                                               httplib::Response& response) {
    if (!knownHost(request)) {
      sendText(response, 403, "Unknown host\n");
      return;
    }
    const std::string& path = request.path;
    const std::string& method = request.method;
    const bool read = method == "GET" || method == "HEAD";
    auto refuseMethod = [&](const char* allowed) {
      response.set_header("Allow", allowed);
      sendText(response, 405, "Method not allowed\n");
    };

    if (path == "/api/invite") {
      if (!read) {
        return refuseMethod("GET, HEAD");
      }
      return sendJson(response, Json{{"product", "Tamber"}, {"text", invitation_}});
    }
    // Everything else shows what the user keeps where: only for the user's own app.
    if (!carriesPageSecret(request.get_header_value("Cookie"), secret_)) {
      return sendText(response, 403,
                      "This inventory is private to the user who runs it; open it in the "
                      "Tamber app.\n");
    }

    if (path == "/") {
      if (!read) {
        return refuseMethod("GET, HEAD");
      }
      const PageRequest wanted{request.get_param_value("path"),
                               request.get_param_value("all") == "1"};
      const RenderedPage page = renderPage(index_.state(), wanted);
      response.status = page.status;
      response.set_content(page.html, "text/html; charset=utf-8");
      return;
    }
    for (const StaticAsset& asset : kAssets) {
      if (path == asset.path) {
        if (!read) {
          return refuseMethod("GET, HEAD");
        }
        const std::optional<std::string_view> content = webAsset(asset.name);
        response.set_content(std::string(content.value_or("")), asset.contentType);
        return;
      }
    }
    if (path == "/api/folder") {
      if (!read) {
        return refuseMethod("GET, HEAD");
      }
      const IndexService::State state = index_.state();
      auto notYet = [&] {
        response.status = 503;
        response.set_content(
            jsonData(Json{{"error", "The first index of " + state.root + " is not done yet."}}),
            "application/json");
      };
      if (!state.scan) {
        return notYet();
      }
      try {
        const std::unique_ptr<IndexReader> reader = IndexReader::open(state.dataDir);
        if (!reader || reader->scan().root != state.root) {
          return notYet();  // replaced under us by an index of another folder
        }
        // "children=N" keeps the N largest subfolders (the page's picture wants no more).
        const std::string path = request.get_param_value("path");
        const std::string limit = request.get_param_value("children");
        if (limit.empty() || !reader->scan().error.empty()) {
          return sendJson(response, folderReport(state.dataDir, path));
        }
        return sendJson(response, folderJson(*reader, findFolder(*reader, path),
                                             std::strtoull(limit.c_str(), nullptr, 10)));
      } catch (const BrokerFailure& failure) {
        response.status = 404;
        response.set_content(jsonData(Json{{"error", failure.description()}}), "application/json");
        return;
      }
    }
    if (path == "/api/status") {
      if (!read) {
        return refuseMethod("GET, HEAD");
      }
      const IndexService::State state = index_.state();
      return sendJson(response, Json{{"generation", state.generation},
                                     {"indexing", state.indexing},
                                     {"entries_seen", state.entriesSeen},
                                     {"indexing_ms", state.indexingMs},
                                     {"root", state.root},
                                     {"finished_at",
                                      state.scan ? Json(state.scan->finishedAt) : Json(nullptr)}});
    }
    if (path == "/api/scan") {
      if (method != "POST") {
        return refuseMethod("POST");
      }
      // Only the page may ask: a custom header cannot be sent across origins without a
      // preflight, which this server never grants, and a stated origin must be our own.
      const std::string origin = request.get_header_value("Origin");
      if (!request.has_header("X-Tamber-Scan") ||
          (!origin.empty() && origin != "http://127.0.0.1" + authority &&
           !equalsIgnoringCase(origin, "http://localhost" + authority))) {
        return sendText(response, 403, "Forbidden\n");
      }
      index_.scanNow();
      return sendText(response, 202, "Scanning\n");
    }
    sendText(response, 404, "Not found\n");
  };

  server_->set_default_headers({
      {"Content-Security-Policy", kContentSecurityPolicy},
      {"X-Content-Type-Options", "nosniff"},
      {"X-Frame-Options", "DENY"},
      {"Referrer-Policy", "no-referrer"},
      {"Cache-Control", "no-store"},
  });
  // Keep-alive connections hold a worker each until they time out; a short timeout keeps
  // the engine's exit prompt when the app quits.
  server_->set_keep_alive_timeout(1);
  server_->set_read_timeout(5);
  server_->set_payload_max_length(64 * 1024);
  server_->Get(".*", dispatch);
  server_->Post(".*", dispatch);
  server_->Put(".*", dispatch);
  server_->Patch(".*", dispatch);
  server_->Delete(".*", dispatch);
  server_->Options(".*", dispatch);
  // The methods without a route of their own (TRACE, CONNECT): answered before routing.
  server_->set_pre_routing_handler(
      [dispatch](const httplib::Request& request, httplib::Response& response) {
        static constexpr std::string_view kRouted[] = {"GET",   "HEAD",   "POST",   "PUT",
                                                       "PATCH", "DELETE", "OPTIONS"};
        for (std::string_view method : kRouted) {
          if (request.method == method) {
            return httplib::Server::HandlerResponse::Unhandled;
          }
        }
        dispatch(request, response);
        return httplib::Server::HandlerResponse::Handled;
      });
}

InventoryServer::~InventoryServer() = default;

void InventoryServer::bind() {
  if (!server_->bind_to_port("127.0.0.1", port_)) {
    throw BrokerFailure("Could not listen on 127.0.0.1:" + std::to_string(port_) +
                        "; is another engine running there?");
  }
}

void InventoryServer::serve() {
  serving_ = true;
  if (!stopRequested_) {
    server_->listen_after_bind();
  }
  serving_ = false;
}

void InventoryServer::stop() {
  stopRequested_ = true;
  // The server only takes a stop once it runs; wait for that, unless serve() is not (or
  // no longer) under way, in which case it sees stopRequested_ itself.
  while (serving_ && !server_->is_running()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  server_->stop();
}

}  // namespace tamber::engine
