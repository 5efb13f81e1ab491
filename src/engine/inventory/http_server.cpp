#include "engine/inventory/http_server.h"

#include <httplib.h>
#include <openssl/crypto.h>

#include <chrono>
#include <cstdlib>
#include <string_view>
#include <thread>

#include "base/failure.h"
#include "base/page_secret.h"
#include "base/reply.h"
#include "base/text.h"
#include "engine/inventory/folder_report.h"
#include "engine/inventory/index_store.h"
#include "engine/inventory/page.h"
#include "engine/inventory/web_assets.h"

namespace tamber::engine {

namespace {

constexpr char kContentSecurityPolicy[] =
    "default-src 'self'; script-src 'self'; style-src 'self'; img-src 'self'; "
    "connect-src 'self'; object-src 'none'; base-uri 'none'; form-action 'none'; "
    "frame-ancestors 'none'";

constexpr char kReadMethods[] = "GET, HEAD";

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

// True when the Cookie header `cookies` carries `secret` in the page cookie. Takes the same
// time for every wrong secret of the right length.
bool carriesPageSecret(std::string_view cookies, std::string_view secret) {
  const std::string_view name = kPageCookieName;
  size_t at = 0;
  while (at < cookies.size()) {
    size_t end = cookies.find(';', at);
    if (end == std::string_view::npos) {
      end = cookies.size();
    }
    std::string_view pair = cookies.substr(at, end - at);
    while (!pair.empty() && pair.front() == ' ') {
      pair.remove_prefix(1);
    }
    if (pair.size() > name.size() && pair.compare(0, name.size(), name) == 0 &&
        pair[name.size()] == '=') {
      const std::string_view value = pair.substr(name.size() + 1);
      if (value.size() == secret.size() && !secret.empty() &&
          CRYPTO_memcmp(value.data(), secret.data(), secret.size()) == 0) {
        return true;
      }
    }
    at = end + 1;
  }
  return false;
}

HttpReply jsonReply(int status, const Json& body) {
  return HttpReply{status, "application/json", jsonData(body), {}};
}

HttpReply textReply(int status, std::string text) {
  return HttpReply{status, "text/plain; charset=utf-8", std::move(text), {}};
}

// The request as the routes see it.
HttpRequest requestFrom(const httplib::Request& request) {
  HttpRequest result{request.method, request.path, {}, {}};
  for (const auto& [name, value] : request.params) {
    result.query.emplace(name, value);  // the first of a repeated name stays
  }
  for (const auto& [name, value] : request.headers) {
    std::string lower = name;
    for (char& c : lower) {
      c = c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
    }
    result.headers.emplace(std::move(lower), value);
  }
  return result;
}

const std::string& memberOr(const std::map<std::string, std::string>& map,
                            const std::string& name) {
  static const std::string none;
  const auto found = map.find(name);
  return found == map.end() ? none : found->second;
}

}  // namespace

const std::string& HttpRequest::header(const std::string& name) const {
  return memberOr(headers, name);
}

const std::string& HttpRequest::parameter(const std::string& name) const {
  return memberOr(query, name);
}

struct InventoryServer::Route {
  std::string_view path;
  const char* methods;  // the Allow header's list
  bool needsSecret;     // everything but the identity probe shows what the user keeps where
  HttpReply (InventoryServer::*handler)(const HttpRequest&) const;
};

const std::vector<InventoryServer::Route>& InventoryServer::routes() {
  static const std::vector<Route> table = [] {
    std::vector<Route> routes = {
        {"/api/invite", kReadMethods, false, &InventoryServer::invitation},
        {"/", kReadMethods, true, &InventoryServer::page},
        {"/api/folder", kReadMethods, true, &InventoryServer::folder},
        {"/api/status", kReadMethods, true, &InventoryServer::status},
        {"/api/scan", "POST", true, &InventoryServer::scan},
    };
    for (const StaticAsset& asset : kAssets) {
      routes.push_back({asset.path, kReadMethods, true, &InventoryServer::asset});
    }
    return routes;
  }();
  return table;
}

InventoryServer::InventoryServer(IndexService& index, std::string invitation, std::string secret,
                                 int port)
    : server_(std::make_unique<httplib::Server>()),
      index_(index),
      invitation_(std::move(invitation)),
      secret_(std::move(secret)),
      port_(port),
      authority_(":" + std::to_string(port)) {
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
  // Every request reaches respond(), which routes by path alone.
  const auto handle = [this](const httplib::Request& request, httplib::Response& response) {
    HttpReply reply = respond(requestFrom(request));
    response.status = reply.status;
    for (auto& [name, value] : reply.headers) {
      response.set_header(name, value);
    }
    response.set_content(std::move(reply.body), reply.contentType);
  };
  // The routed methods go through the library's own routing, which reads a body before the
  // handler; the others (TRACE, CONNECT, ...) are answered before routing.
  server_->Get(".*", handle);
  server_->Post(".*", handle);
  server_->Put(".*", handle);
  server_->Patch(".*", handle);
  server_->Delete(".*", handle);
  server_->Options(".*", handle);
  server_->set_pre_routing_handler(
      [handle](const httplib::Request& request, httplib::Response& response) {
        static constexpr std::string_view kRouted[] = {"GET",   "HEAD",   "POST",   "PUT",
                                                       "PATCH", "DELETE", "OPTIONS"};
        for (std::string_view method : kRouted) {
          if (request.method == method) {
            return httplib::Server::HandlerResponse::Unhandled;
          }
        }
        handle(request, response);
        return httplib::Server::HandlerResponse::Handled;
      });
}

InventoryServer::~InventoryServer() = default;

bool InventoryServer::knownHost(const std::string& host) const {
  return host == "127.0.0.1" + authority_ || equalsIgnoringCase(host, "localhost" + authority_);
}

HttpReply InventoryServer::respond(const HttpRequest& request) const {
  // HTTP/1.0 clients may name no host; browsers always do.
  const auto host = request.headers.find("host");
  if (host != request.headers.end() && !knownHost(host->second)) {
    return textReply(403, "Unknown host\n");
  }
  const Route* route = nullptr;
  for (const Route& candidate : routes()) {
    if (candidate.path == request.path) {
      route = &candidate;
      break;
    }
  }
  // Without the secret not even the names of the routes are told apart.
  if ((route == nullptr || route->needsSecret) &&
      !carriesPageSecret(request.header("cookie"), secret_)) {
    return textReply(403,
                     "This inventory is private to the user who runs it; open it in the "
                     "Tamber app.\n");
  }
  if (route == nullptr) {
    return textReply(404, "Not found\n");
  }
  const std::string_view allowed = route->methods;
  const bool read = request.method == "GET" || request.method == "HEAD";
  if (allowed == kReadMethods ? !read : request.method != allowed) {
    HttpReply refusal = textReply(405, "Method not allowed\n");
    refusal.headers.emplace_back("Allow", route->methods);
    return refusal;
  }
  return (this->*route->handler)(request);
}

HttpReply InventoryServer::invitation(const HttpRequest&) const {
  return jsonReply(200, Json{{"product", "Tamber"}, {"text", invitation_}});
}

HttpReply InventoryServer::page(const HttpRequest& request) const {
  const PageRequest wanted{request.parameter("path"), request.parameter("all") == "1"};
  RenderedPage page = renderPage(index_.state(), wanted);
  return HttpReply{page.status, "text/html; charset=utf-8", std::move(page.html), {}};
}

HttpReply InventoryServer::asset(const HttpRequest& request) const {
  for (const StaticAsset& asset : kAssets) {
    if (request.path == asset.path) {
      return HttpReply{200, asset.contentType, std::string(webAsset(asset.name).value_or("")), {}};
    }
  }
  return textReply(404, "Not found\n");
}

HttpReply InventoryServer::folder(const HttpRequest& request) const {
  const IndexService::State state = index_.state();
  const HttpReply notYet = jsonReply(
      503, Json{{"error", "The first index of " + addressOf(state.root) + " is not done yet."}});
  if (!state.scan) {
    return notYet;
  }
  try {
    const std::unique_ptr<IndexReader> reader = IndexReader::open(state.dataDir);
    if (!reader || reader->scan().root != state.root) {
      return notYet;  // replaced under us by an index of another folder
    }
    // "children=N" keeps the N largest subfolders (the page's picture wants no more), and
    // "inner=M" lists the M largest subfolders of the M largest of those.
    const std::string& path = request.parameter("path");
    const std::string& limit = request.parameter("children");
    if (limit.empty() || !reader->scan().error.empty()) {
      return jsonReply(200, folderReport(state.dataDir, path));
    }
    return jsonReply(
        200,
        folderJson(*reader, findFolder(*reader, path), std::strtoull(limit.c_str(), nullptr, 10),
                   std::strtoull(request.parameter("inner").c_str(), nullptr, 10)));
  } catch (const Failure& failure) {
    return jsonReply(404, Json{{"error", failure.description()}});
  }
}

HttpReply InventoryServer::status(const HttpRequest&) const {
  const IndexService::State state = index_.state();
  return jsonReply(
      200, Json{{"generation", state.generation},
                {"indexing", state.indexing},
                {"entries_seen", state.entriesSeen},
                {"indexing_ms", state.indexingMs},
                {"root", state.root},
                {"finished_at", state.scan ? Json(state.scan->finishedAt) : Json(nullptr)}});
}

HttpReply InventoryServer::scan(const HttpRequest& request) const {
  // Only the page may ask: a custom header cannot be sent across origins without a
  // preflight, which this server never grants, and a stated origin must be our own.
  const std::string& origin = request.header("origin");
  if (!request.headers.contains("x-tamber-scan") ||
      (!origin.empty() && origin != "http://127.0.0.1" + authority_ &&
       !equalsIgnoringCase(origin, "http://localhost" + authority_))) {
    return textReply(403, "Forbidden\n");
  }
  index_.scanNow();
  return textReply(202, "Scanning\n");
}

void InventoryServer::bind() {
  if (!server_->bind_to_port("127.0.0.1", port_)) {
    throw Failure("Could not listen on 127.0.0.1:" + std::to_string(port_) +
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
