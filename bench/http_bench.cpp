// The page's user against other local users who hold connections to the engine's port: the
// latency of the user's own requests (GET / with the page's secret, one connection each, as
// the web view makes them) with no other connection open, then with N held open (half of
// them silent, half stalled halfway through their request head). Three transports run the
// same routes (InventoryServer::respond) in this process:
// - cpp-httplib with its 8 workers: the engine's earlier transport;
// - cpp-httplib with a worker for every held connection (N + 16 threads): the way to keep it
//   that costs a thread per client and still bounds only each read, not the whole request;
// - libmicrohttpd on one epoll thread, with the engine's bounds: the transport in use.
// A request that has no answer after 2 seconds counts as unanswered. While the connections
// are held it also prints the threads and resident memory of the process, all transports
// together.
// Usage: http_bench [held connections]   (default 1000; needs as many descriptors, plus some)
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <httplib.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "base/page_secret.h"
#include "bench_support.h"
#include "engine/inventory/http_server.h"
#include "engine/inventory/index_service.h"
#include "platform/fd_io.h"
#include "platform/loopback.h"
#include "platform/unique_fd.h"

namespace {

using Clock = std::chrono::steady_clock;
using tamber::UniqueFd;
using tamber::bench::percentile;
using tamber::engine::HttpReply;
using tamber::engine::HttpRequest;
using tamber::engine::InventoryServer;

constexpr int kSamples = 20;

// One request as the user's window makes it; its time in milliseconds, or a negative number
// when no complete answer came within 2 seconds.
double userRequest(int port, const std::string& secret) {
  const auto start = Clock::now();
  const UniqueFd fd = tamber::connectLoopback(port);
  if (!fd) {
    return -1;
  }
  timeval limit{2, 0};
  ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  const std::string request = "GET / HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                              "\r\nConnection: close\r\nCookie: larkspan_page=" + secret +
                              "\r\n\r\n";
  ::send(fd.get(), request.data(), request.size(), MSG_NOSIGNAL);
  std::string reply;
  if (tamber::readToEnd(fd.get(), reply) != 0 || reply.compare(0, 12, "HTTP/1.1 200") != 0) {
    return -1;
  }
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

void measure(const char* transport, const char* condition, int port, const std::string& secret) {
  std::vector<double> times;
  int unanswered = 0;
  for (int i = 0; i < kSamples; ++i) {
    const double ms = userRequest(port, secret);
    if (ms < 0) {
      ++unanswered;
    } else {
      times.push_back(ms);
    }
  }
  if (times.empty()) {
    std::printf("%-34s %-26s p50       -      max       -   unanswered %2d of %d\n", transport,
                condition, unanswered, kSamples);
  } else {
    std::printf("%-34s %-26s p50 %7.2f ms  max %7.2f ms  unanswered %2d of %d\n", transport,
                condition, percentile(times, 0.5), percentile(times, 1.0), unanswered, kSamples);
  }
  std::fflush(stdout);
}

// This process's threads and resident memory, from /proc/self/status.
std::string processFigures() {
  std::string status;
  tamber::readWholeFile("/proc/self/status", status);
  std::string figures;
  for (const char* name : {"Threads:", "VmRSS:"}) {
    const size_t at = status.find(name);
    if (at != std::string::npos) {
      const size_t value = status.find_first_not_of(" \t", at + std::strlen(name));
      figures +=
          std::string(name) + " " + status.substr(value, status.find('\n', at) - value) + "  ";
    }
  }
  return figures;
}

// Runs the user's requests against `port` with nothing else open, then with `held`
// connections held open.
void compare(const char* transport, int port, const std::string& secret, int held) {
  measure(transport, "alone", port, secret);
  std::vector<UniqueFd> others;
  const std::string partial = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: ";
  for (int i = 0; i < held; ++i) {
    others.push_back(tamber::connectLoopback(port));
    if (i % 2 == 1) {
      ::send(others.back().get(), partial.data(), partial.size(), MSG_NOSIGNAL);
    }
  }
  const std::string condition = std::to_string(held) + " held by others";
  measure(transport, condition.c_str(), port, secret);
  std::printf("%-34s %-26s %s\n", transport, "while held", processFigures().c_str());
}

// cpp-httplib around the same routes, configured as the engine's earlier transport was.
void runHttplib(const char* transport, tamber::engine::IndexService& index,
                const std::string& secret, int held, size_t workers) {
  httplib::Server server;
  const int port = server.bind_to_any_port("127.0.0.1");
  const InventoryServer routes(index, "invitation", secret, port);
  if (workers > 0) {
    server.new_task_queue = [workers] { return new httplib::ThreadPool(workers); };
  }
  server.set_keep_alive_timeout(1);
  server.set_read_timeout(5);
  server.set_payload_max_length(64 * 1024);
  server.Get(".*", [&](const httplib::Request& request, httplib::Response& response) {
    HttpRequest wanted{request.method, request.path, {}, {}};
    for (const auto& [name, value] : request.headers) {
      std::string lower = name;
      for (char& c : lower) {
        c = c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
      }
      wanted.headers.emplace(std::move(lower), value);
    }
    HttpReply reply = routes.respond(wanted);
    response.status = reply.status;
    response.set_content(std::move(reply.body), reply.contentType);
  });
  std::thread serving([&] { server.listen_after_bind(); });
  while (!server.is_running()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  compare(transport, port, secret, held);
  server.stop();
  serving.join();
}

}  // namespace

int main(int argc, char** argv) {
  const int held = argc > 1 ? std::atoi(argv[1]) : 1000;
  rlimit limit{};
  ::getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = limit.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &limit);
  if (limit.rlim_cur < static_cast<rlim_t>(2 * held + 256)) {
    std::fprintf(stderr, "http_bench: %d connections need %d descriptors; the limit is %llu\n",
                 held, 2 * held + 256, static_cast<unsigned long long>(limit.rlim_cur));
    return 1;
  }
  tamber::bench::BenchFolder folder("http-bench");
  const std::string root = folder / "root";
  std::filesystem::create_directories(root + "/photos/2024");
  std::filesystem::create_directories(folder / "data");
  const std::string secret = tamber::ensurePageSecret(folder / "data");
  tamber::engine::IndexService index(root, folder / "data", std::chrono::hours(1));
  index.start();
  while (!index.state().scan) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }

  std::printf("user's GET / with %d samples per line\n", kSamples);
  runHttplib("cpp-httplib, 8 workers (earlier)", index, secret, held, 0);
  runHttplib("cpp-httplib, a worker per client", index, secret, held,
             static_cast<size_t>(held) + 16);
  {
    const int port = tamber::freeLoopbackPort();
    InventoryServer server(index, "invitation", secret, port);
    server.bind();
    std::thread serving([&] { server.serve(); });
    compare("libmicrohttpd, one thread (now)", port, secret, held);
    server.stop();
    serving.join();
  }
  index.stop();
  return 0;
}
