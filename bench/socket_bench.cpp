// Sequential "stat" requests through the real agent socket (peer check, read, parse, grant
// lookup, preflight, the action, the audit line, the reply) against a raw Unix-socket round
// trip (connect, write, read, close) to a trivial server that answers the same bytes at once.
// Both sides use the same client. Target: the broker reaches at least 0.7 of the raw rate.
// Usage: socket_bench [requests per side]   (default 5000, measured in 5 alternating rounds).
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "access/grant.h"
#include "access/reply.h"
#include "agent/agent_client.h"
#include "agent/agent_server.h"
#include "platform/unique_fd.h"

namespace {

using Clock = std::chrono::steady_clock;

double percentile(std::vector<double> samples, double fraction) {
  std::sort(samples.begin(), samples.end());
  return samples[static_cast<size_t>(fraction * static_cast<double>(samples.size() - 1))];
}

// Accepts `connections` connections one after another; reads each request up to its newline
// or end of stream and answers `reply`.
void trivialServer(int listening, int connections, const std::string& reply) {
  char buffer[4096];
  for (int i = 0; i < connections; ++i) {
    tamber::UniqueFd client(::accept4(listening, nullptr, nullptr, SOCK_CLOEXEC));
    if (!client) {
      return;
    }
    for (;;) {
      const ssize_t n = ::read(client.get(), buffer, sizeof buffer);
      if (n <= 0 || std::memchr(buffer, '\n', static_cast<size_t>(n)) != nullptr) {
        break;
      }
    }
    ::send(client.get(), reply.data(), reply.size(), MSG_NOSIGNAL);
  }
}

struct Side {
  std::vector<double> microseconds;
  double seconds = 0;
};

void measure(Side& side, const std::string& socketPath, const std::string& request, int count) {
  const auto began = Clock::now();
  for (int i = 0; i < count; ++i) {
    const auto start = Clock::now();
    const std::string reply = tamber::sendAgentRequest(socketPath, request);
    side.microseconds.push_back(
        std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    if (reply.empty() || reply.back() != '}') {
      std::fprintf(stderr, "unexpected reply: %s\n", reply.c_str());
      std::exit(1);
    }
  }
  side.seconds += std::chrono::duration<double>(Clock::now() - began).count();
}

void print(const char* name, const Side& side) {
  std::printf("%-28s %9.0f req/s   p50 %7.1f us   p99 %7.1f us\n", name,
              static_cast<double>(side.microseconds.size()) / side.seconds,
              percentile(side.microseconds, 0.50), percentile(side.microseconds, 0.99));
}

}  // namespace

int main(int argc, char** argv) {
  const int total = argc > 1 ? std::max(5, std::atoi(argv[1])) : 5000;
  constexpr int kRounds = 5;
  const int perRound = total / kRounds;

  std::string folder = "/tmp/tamber-bench-XXXXXX";
  if (::mkdtemp(folder.data()) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  const std::string data = folder + "/data";
  const std::string scope = folder + "/scope";
  ::mkdir(data.c_str(), 0700);
  ::mkdir(scope.c_str(), 0755);
  std::ofstream(scope + "/a.txt") << "benchmark content";

  tamber::GrantStore grants;
  const tamber::AgentGrant grant = grants.add({scope}, false, false, true);
  const std::string request = tamber::jsonData(
      tamber::Json{{"token", grant.token}, {"action", "stat"}, {"path", scope + "/a.txt"}});

  tamber::AgentServer broker(data, grants, nullptr);
  broker.start();
  // The trivial server answers exactly what the broker answers.
  const std::string reply = tamber::sendAgentRequest(broker.socketPath(), request);

  const std::string rawPath = folder + "/raw.sock";
  tamber::UniqueFd listening(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, rawPath.data(), rawPath.size());
  if (::bind(listening.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listening.get(), 8) != 0) {
    std::perror("raw socket");
    return 1;
  }
  const int warmup = 200;
  std::thread raw(trivialServer, listening.get(), warmup + perRound * kRounds, reply);

  Side warm;
  measure(warm, broker.socketPath(), request, warmup);
  measure(warm, rawPath, request, warmup);

  Side brokerSide;
  Side rawSide;
  for (int round = 0; round < kRounds; ++round) {
    measure(rawSide, rawPath, request, perRound);
    measure(brokerSide, broker.socketPath(), request, perRound);
  }
  raw.join();
  broker.stop();

  std::printf("sequential \"stat\" requests, %d per side, one client\n", perRound * kRounds);
  print("raw Unix-socket round trip", rawSide);
  print("agent broker (stat)", brokerSide);
  const double ratio = (static_cast<double>(brokerSide.microseconds.size()) / brokerSide.seconds) /
                       (static_cast<double>(rawSide.microseconds.size()) / rawSide.seconds);
  std::printf("ratio broker/raw: %.2f (target >= 0.70)\n", ratio);

  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);
  return 0;
}
