#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/inventory/index_service.h"

namespace tamber::engine {

// What a route sees of a request, whichever HTTP library carried it.
struct HttpRequest {
  std::string method;                          // "GET", "HEAD", "POST", ...
  std::string path;                            // without the query
  std::map<std::string, std::string> query;    // decoded; the first value of a repeated name
  std::map<std::string, std::string> headers;  // names in lower case

  // The header `name` (lower case), or "" when absent.
  const std::string& header(const std::string& name) const;
  // The query parameter `name`, or "" when absent.
  const std::string& parameter(const std::string& name) const;
};

// What a route answers. Every response also carries the server's fixed security headers.
struct HttpReply {
  int status = 200;
  std::string contentType;
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;  // beyond the fixed ones
};

// The engine's HTTP interface on 127.0.0.1 only:
//   GET /api/invite   {"product": "Tamber", "text": the invitation text}: the identity probe
//   GET /             the inventory page; "?path=FOLDER" (relative to the indexed folder)
//                     for any folder of the index, "&all=1" for every subfolder
//   GET /<asset>      its style sheet, scripts and icon
//   GET /api/folder   "?path=FOLDER": the folder's report (folderReport; "&children=N"
//                     for only the N largest subfolders, "&inner=M" with the M largest
//                     subfolders of the M largest of those: folderJson), 404 with
//                     {"error"} for a folder that is not in the index, 503 before the first
//                     index
//   GET /api/status   {"generation", "indexing", "entries_seen", "indexing_ms", "root",
//                     "finished_at"}: cheap to poll
//   POST /api/scan    index again now (only from the page itself)
//   GET /activity     the agent activity view; "?change=ID" for one change's details
//                     (activity_page.h). Nothing here changes a file: undo is the desktop's.
//   GET /api/activity the activity journal as JSON (activityStatusJson)
// Every route but the identity probe answers only requests that carry the page's secret in
// its cookie (see base/page_secret.h); without it, 403 and one sentence. HEAD works wherever
// GET does. Any other path answers 404, another method on a known path 405. Every response
// carries a strict Content-Security-Policy. Requests naming another host are refused with
// 403, so a web site cannot reach the engine by pointing its own name at this address.
//
// Every local user can reach the port, so no client may hold the server: one thread serves
// every connection as its bytes arrive (libmicrohttpd, on epoll), a body is at most 64 KiB,
// and each exchange on a connection (a request and its response, or the wait for the next
// request on a kept-alive one) ends within 10 seconds, however slowly its bytes trickle in.
// Connections are capped (at most 2,048, and fewer when the descriptor limit, which bind()
// raises to its hard limit, leaves less room); a few places under the cap are always kept
// free by closing the connections whose exchange began longest ago, so a new connection, the
// user's own among them, is always taken at once.
class InventoryServer {
 public:
  // `index` must outlive the server; `secret` is the page's secret.
  InventoryServer(IndexService& index, std::string invitation, std::string secret, int port);
  InventoryServer(const InventoryServer&) = delete;
  InventoryServer& operator=(const InventoryServer&) = delete;
  ~InventoryServer();

  // Binds 127.0.0.1 at the port and raises this process's soft limit of open descriptors to
  // its hard limit. Throws Failure when the port cannot be bound.
  void bind();

  // Serves on the calling thread until stop(), which is also the thread of every respond().
  // Returns early only when the server cannot start. Call once, after bind().
  void serve();

  // Ends serve(), from any thread, at any time: a stop that comes before serve() has begun
  // makes it return at once.
  void stop();

  // The answer to one request, with every check made: the host, the route, the method and
  // the secret. Any thread.
  HttpReply respond(const HttpRequest& request) const;

 private:
  struct Route;
  static const std::vector<Route>& routes();

  HttpReply page(const HttpRequest& request) const;
  HttpReply asset(const HttpRequest& request) const;
  HttpReply invitation(const HttpRequest& request) const;
  HttpReply folder(const HttpRequest& request) const;
  HttpReply status(const HttpRequest& request) const;
  HttpReply scan(const HttpRequest& request) const;
  HttpReply activity(const HttpRequest& request) const;
  HttpReply activityStatus(const HttpRequest& request) const;

  bool knownHost(const std::string& host) const;

  struct Transport;  // the listening socket, the connections and the HTTP library's daemon

  std::unique_ptr<Transport> transport_;
  IndexService& index_;
  const std::string invitation_;
  const std::string secret_;
  const int port_;
  const std::string authority_;  // ":PORT"
  std::atomic<bool> stopRequested_{false};
};

}  // namespace tamber::engine
