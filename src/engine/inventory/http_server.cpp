#include "engine/inventory/http_server.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <openssl/crypto.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <list>
#include <string_view>

#include "activity/journal.h"
#include "base/failure.h"
#include "base/page_secret.h"
#include "base/reply.h"
#include "base/text.h"
#include "engine/inventory/activity_page.h"
#include "engine/inventory/folder_report.h"
#include "engine/inventory/index_store.h"
#include "engine/inventory/page.h"
#include "engine/inventory/web_assets.h"
#include "platform/unique_fd.h"

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
    {"/activity.js", "activity.js", "text/javascript; charset=utf-8"},
    {"/activity.css", "activity.css", "text/css; charset=utf-8"},
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

std::int64_t nowMs() {
  return journalMs(WallClock::now());
}

HttpReply jsonReply(int status, const Json& body) {
  return HttpReply{status, "application/json", jsonData(body), {}};
}

HttpReply textReply(int status, std::string text) {
  return HttpReply{status, "text/plain; charset=utf-8", std::move(text), {}};
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
        {"/activity", kReadMethods, true, &InventoryServer::activity},
        {"/api/activity", kReadMethods, true, &InventoryServer::activityStatus},
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
    : transport_(std::make_unique<Transport>(*this)),
      index_(index),
      invitation_(std::move(invitation)),
      secret_(std::move(secret)),
      port_(port),
      authority_(":" + std::to_string(port)) {}

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
                {"root", addressOf(state.root)},
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

HttpReply InventoryServer::activity(const HttpRequest& request) const {
  RenderedPage page =
      renderActivityPage(index_.state().dataDir, request.parameter("change"), nowMs());
  return HttpReply{page.status, "text/html; charset=utf-8", std::move(page.html), {}};
}

HttpReply InventoryServer::activityStatus(const HttpRequest&) const {
  try {
    return jsonReply(200, activityStatusJson(index_.state().dataDir, nowMs()));
  } catch (const Failure& failure) {
    return jsonReply(
        503, Json{{"error", "The activity journal cannot be read: " + failure.description()}});
  }
}

// The transport under respond(): libmicrohttpd on one thread of our own, which runs the
// daemon's epoll set, its timeouts and our bounds on the connections in one loop. Every
// callback below runs on that thread, so the connection list needs no lock, and a
// connection's descriptor is still the daemon's whenever we shut it down: the daemon closes
// it only inside MHD_run, and tells us first.
struct InventoryServer::Transport {
  using Clock = std::chrono::steady_clock;

  // One open connection. `since` is when its current exchange began: its accept, or the end
  // of the previous response on a kept-alive connection.
  struct Connection {
    MHD_Connection* handle = nullptr;
    int fd = -1;
    Clock::time_point since;
    size_t bodyBytes = 0;  // of the request under way
    bool closing = false;  // shut down by us; the daemon closes it on its next run
    std::list<Connection>::iterator self;
  };

  static constexpr auto kExchangeDeadline = std::chrono::seconds(10);
  static constexpr size_t kLargestBody = 64 * 1024;
  static constexpr rlim_t kMostConnections = 2048;
  // Descriptors left for the rest of the engine: the index, its walk, logs.
  static constexpr rlim_t kOtherDescriptors = 128;
  // Places under the cap kept free, so that the daemon always takes new connections.
  static constexpr size_t kFreePlaces = 16;

  explicit Transport(InventoryServer& owner) : server(owner) {}

  ~Transport() { stopDaemon(); }

  void stopDaemon() {
    if (daemon == nullptr) {
      return;
    }
    // The listening socket stays ours (and so is closed once) whatever the daemon's end does.
    if (MHD_quiesce_daemon(daemon) != listener.get()) {
      listener.release();
    }
    MHD_stop_daemon(daemon);
    daemon = nullptr;
  }

  // The daemon's callbacks; `cls` is the Transport.
  static void noteConnection(void* cls, MHD_Connection* handle, void** context,
                             MHD_ConnectionNotificationCode code);
  static MHD_Result answer(void* cls, MHD_Connection* handle, const char* url, const char* method,
                           const char* version, const char* upload, size_t* uploadSize,
                           void** request);
  static void completed(void* cls, MHD_Connection* handle, void** request,
                        MHD_RequestTerminationCode code);

  void closeConnection(Connection& connection) {
    // The daemon sees the end of the stream on its next run and closes the descriptor.
    ::shutdown(connection.fd, SHUT_RDWR);
    connection.closing = true;
    --open;
  }

  // Ends every exchange past its deadline, then makes room under the cap from the oldest
  // exchange on. Returns how long until the next deadline falls.
  std::chrono::milliseconds enforceBounds() {
    const Clock::time_point now = Clock::now();
    for (Connection& connection : connections) {
      if (connection.closing) {
        continue;
      }
      if (connection.since + kExchangeDeadline > now && open + kFreePlaces <= cap) {
        return std::chrono::ceil<std::chrono::milliseconds>(connection.since + kExchangeDeadline -
                                                            now);
      }
      closeConnection(connection);
    }
    return std::chrono::milliseconds(-1);
  }

  InventoryServer& server;
  UniqueFd listener;
  UniqueFd wake = UniqueFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));  // written by stop()
  size_t cap = kMostConnections;
  MHD_Daemon* daemon = nullptr;
  std::list<Connection> connections;  // by the start of their exchange, oldest first
  size_t open = 0;                    // connections not closing
};

void InventoryServer::Transport::noteConnection(void* cls, MHD_Connection* handle, void** context,
                                                MHD_ConnectionNotificationCode code) {
  Transport& transport = *static_cast<Transport*>(cls);
  if (code == MHD_CONNECTION_NOTIFY_STARTED) {
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(handle, MHD_CONNECTION_INFO_CONNECTION_FD);
    Connection& connection = transport.connections.emplace_back();
    connection.handle = handle;
    connection.fd = info != nullptr ? info->connect_fd : -1;
    connection.since = Clock::now();
    connection.self = std::prev(transport.connections.end());
    ++transport.open;
    *context = &connection;
  } else if (*context != nullptr) {
    Connection& connection = *static_cast<Connection*>(*context);
    if (!connection.closing) {
      --transport.open;
    }
    transport.connections.erase(connection.self);
    *context = nullptr;
  }
}

MHD_Result InventoryServer::Transport::answer(void* cls, MHD_Connection* handle, const char* url,
                                              const char* method, const char*, const char*,
                                              size_t* uploadSize, void** request) {
  Transport& transport = *static_cast<Transport*>(cls);
  const MHD_ConnectionInfo* info =
      MHD_get_connection_info(handle, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
  if (info == nullptr || info->socket_context == nullptr) {
    return MHD_NO;
  }
  Connection& connection = *static_cast<Connection*>(info->socket_context);
  // The first call brings the head; the body, if any, follows in calls of their own; a last
  // call with nothing more ends the request.
  if (*request == nullptr) {
    *request = &connection;
    connection.bodyBytes = 0;
    return MHD_YES;
  }
  if (*uploadSize != 0) {
    connection.bodyBytes += *uploadSize;
    *uploadSize = 0;
    // No route reads a body; a large one is only a way to keep the connection busy.
    return connection.bodyBytes <= kLargestBody ? MHD_YES : MHD_NO;
  }

  HttpRequest wanted{method, url, {}, {}};
  const auto keep = [](void* target, MHD_ValueKind, const char* name,
                       const char* value) -> MHD_Result {
    static_cast<std::map<std::string, std::string>*>(target)->emplace(name, value ? value : "");
    return MHD_YES;
  };
  // The first value of a repeated query name stays.
  MHD_get_connection_values(handle, MHD_GET_ARGUMENT_KIND, keep, &wanted.query);
  std::map<std::string, std::string> headers;
  MHD_get_connection_values(handle, MHD_HEADER_KIND, keep, &headers);
  for (auto& [name, value] : headers) {
    std::string lower = name;
    for (char& c : lower) {
      c = c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
    }
    wanted.headers.emplace(std::move(lower), std::move(value));
  }

  const HttpReply reply = transport.server.respond(wanted);
  const std::unique_ptr<MHD_Response, decltype(&MHD_destroy_response)> response(
      MHD_create_response_from_buffer(reply.body.size(), const_cast<char*>(reply.body.data()),
                                      MHD_RESPMEM_MUST_COPY),
      &MHD_destroy_response);
  if (!response) {
    return MHD_NO;
  }
  static constexpr std::pair<const char*, const char*> kFixedHeaders[] = {
      {"Content-Security-Policy", kContentSecurityPolicy},
      {"X-Content-Type-Options", "nosniff"},
      {"X-Frame-Options", "DENY"},
      {"Referrer-Policy", "no-referrer"},
      {"Cache-Control", "no-store"},
  };
  for (const auto& [name, value] : kFixedHeaders) {
    MHD_add_response_header(response.get(), name, value);
  }
  MHD_add_response_header(response.get(), "Content-Type", reply.contentType.c_str());
  for (const auto& [name, value] : reply.headers) {
    MHD_add_response_header(response.get(), name.c_str(), value.c_str());
  }
  return MHD_queue_response(handle, static_cast<unsigned>(reply.status), response.get());
}

void InventoryServer::Transport::completed(void* cls, MHD_Connection*, void** request,
                                           MHD_RequestTerminationCode code) {
  Transport& transport = *static_cast<Transport*>(cls);
  if (*request == nullptr || code != MHD_REQUEST_TERMINATED_COMPLETED_OK) {
    return;
  }
  // A kept-alive connection starts its next exchange, and so goes to the back of the line.
  Connection& connection = *static_cast<Connection*>(*request);
  connection.since = Clock::now();
  transport.connections.splice(transport.connections.end(), transport.connections, connection.self);
  *request = nullptr;
}

void InventoryServer::bind() {
  Transport& transport = *transport_;
  // Each connection takes a descriptor: take every one the system allows this process, and
  // leave room for the rest of the engine.
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0) {
    if (limit.rlim_cur < limit.rlim_max) {
      limit.rlim_cur = limit.rlim_max;
      ::setrlimit(RLIMIT_NOFILE, &limit);
      ::getrlimit(RLIMIT_NOFILE, &limit);
    }
    const rlim_t room = limit.rlim_cur > 2 * Transport::kOtherDescriptors
                            ? limit.rlim_cur - Transport::kOtherDescriptors
                            : limit.rlim_cur / 2;
    transport.cap = static_cast<size_t>(std::min(room, Transport::kMostConnections));
  }
  transport.cap = std::max(transport.cap, 2 * Transport::kFreePlaces);

  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port_));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const int reuse = 1;
  transport.listener.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!transport.listener ||
      ::setsockopt(transport.listener.get(), SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse) != 0 ||
      ::bind(transport.listener.get(), reinterpret_cast<const sockaddr*>(&address),
             sizeof address) != 0 ||
      ::listen(transport.listener.get(), SOMAXCONN) != 0) {
    transport.listener.reset();
    throw Failure("Could not listen on 127.0.0.1:" + std::to_string(port_) +
                  "; is another engine running there?");
  }
}

void InventoryServer::serve() {
  Transport& transport = *transport_;
  if (stopRequested_ || !transport.listener || !transport.wake) {
    return;
  }
  transport.daemon = MHD_start_daemon(
      MHD_USE_EPOLL, 0, nullptr, nullptr, &Transport::answer, &transport, MHD_OPTION_LISTEN_SOCKET,
      transport.listener.get(), MHD_OPTION_CONNECTION_LIMIT, static_cast<unsigned>(transport.cap),
      MHD_OPTION_CONNECTION_TIMEOUT, static_cast<unsigned>(Transport::kExchangeDeadline.count()),
      MHD_OPTION_NOTIFY_CONNECTION, &Transport::noteConnection, &transport,
      MHD_OPTION_NOTIFY_COMPLETED, &Transport::completed, &transport, MHD_OPTION_END);
  if (transport.daemon == nullptr) {
    // Whether a daemon that failed to start closed the socket it was given is its own
    // business: never close it a second time.
    transport.listener.release();
    return;
  }
  const MHD_DaemonInfo* info = MHD_get_daemon_info(transport.daemon, MHD_DAEMON_INFO_EPOLL_FD);
  pollfd waits[2] = {{info != nullptr ? info->epoll_fd : -1, POLLIN, 0},
                     {transport.wake.get(), POLLIN, 0}};
  while (!stopRequested_ && info != nullptr) {
    std::chrono::milliseconds timeout = transport.enforceBounds();
    MHD_UNSIGNED_LONG_LONG daemonTimeout = 0;
    if (MHD_get_timeout(transport.daemon, &daemonTimeout) == MHD_YES &&
        (timeout.count() < 0 || daemonTimeout < static_cast<uint64_t>(timeout.count()))) {
      timeout = std::chrono::milliseconds(std::min<uint64_t>(daemonTimeout, INT32_MAX));
    }
    if (::poll(waits, 2, static_cast<int>(timeout.count())) < 0 && errno != EINTR) {
      break;
    }
    MHD_run(transport.daemon);
  }
  transport.stopDaemon();
}

void InventoryServer::stop() {
  stopRequested_ = true;
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = ::write(transport_->wake.get(), &one, sizeof one);
}

}  // namespace tamber::engine
