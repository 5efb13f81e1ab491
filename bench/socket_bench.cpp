// Sequential "stat" requests through the real agent socket (peer check, read, parse, grant
// lookup, preflight, the action, the audit line, the reply) against two baselines served the
// same way, one connection at a time on a thread of this process:
// - raw: a Unix-socket round trip (accept, read, send, close) that answers at once;
// - floor: the system calls the broker cannot avoid for a stat (accept, peer check, read,
//   open and fstat of the grant folder, fstatat of the target, a look at the audit log's name
//   so that a rotated or deleted log is followed, one audit write, send, close).
// All sides use the same client. Then the broker's own stages, timed one by one in this
// process on the same request, say where its time goes beyond the floor.
// Usage: socket_bench [requests per side]   (default 5000, measured in 25 alternating rounds).
// Every server, the broker and both baselines, waits for its next connection awake for a
// moment before it sleeps, and the client for its answer: on a virtual machine, waking an
// idle CPU costs tens of microseconds, more than the work measured here.
#include <poll.h>
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
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>

#include "access/grant.h"
#include "actions/executor.h"
#include "activity/journal_writer.h"
#include "agent/agent_client.h"
#include "agent/agent_server.h"
#include "agent/audit_log.h"
#include "agent/request_json.h"
#include "base/reply.h"
#include "bench_support.h"
#include "platform/fd_io.h"
#include "platform/peer_credentials.h"
#include "platform/unique_fd.h"
#include "platform/unix_socket.h"

namespace {

using Clock = std::chrono::steady_clock;

using tamber::bench::percentile;

// Reads a request up to its newline or end of stream.
void readRequest(int client) {
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(client, buffer, sizeof buffer);
    if (n <= 0 || std::memchr(buffer, '\n', static_cast<size_t>(n)) != nullptr) {
      return;
    }
  }
}

// The next connection, waited for as the broker waits for it: awake at first.
tamber::UniqueFd acceptNext(int listening) {
  tamber::pollBriefly(listening, POLLIN);
  return tamber::UniqueFd(::accept4(listening, nullptr, nullptr, SOCK_CLOEXEC));
}

// Accepts `connections` connections one after another; reads each request and answers
// `reply`.
void trivialServer(int listening, int connections, const std::string& reply) {
  for (int i = 0; i < connections; ++i) {
    tamber::UniqueFd client = acceptNext(listening);
    if (!client) {
      return;
    }
    readRequest(client.get());
    ::send(client.get(), reply.data(), reply.size(), MSG_NOSIGNAL);
  }
}

// The system calls of a stat: the grant folder opened and checked, the target looked at.
void floorAction(const std::string& root, const std::string& leaf) {
  const tamber::UniqueFd folder(
      ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat status {};
  ::fstat(folder.get(), &status);
  ::fstatat(folder.get(), leaf.c_str(), &status, AT_SYMLINK_NOFOLLOW);
}

// The system calls of an audit record: a look at the log's name, one write.
void floorAudit(const std::string& logPath, int log, const std::string& line) {
  struct stat status {};
  ::fstatat(AT_FDCWD, logPath.c_str(), &status, AT_SYMLINK_NOFOLLOW);
  [[maybe_unused]] const ssize_t logged = ::write(log, line.data(), line.size());
}

// The same as trivialServer, making the calls a stat request cannot do without on the way.
void floorServer(int listening, int connections, const std::string& reply, const std::string& root,
                 const std::string& leaf, const std::string& logPath, int log,
                 const std::string& line) {
  for (int i = 0; i < connections; ++i) {
    tamber::UniqueFd client = acceptNext(listening);
    if (!client) {
      return;
    }
    if (tamber::peerUserId(client.get()) != ::getuid()) {
      continue;
    }
    readRequest(client.get());
    floorAction(root, leaf);
    floorAudit(logPath, log, line);
    ::send(client.get(), reply.data(), reply.size(), MSG_NOSIGNAL);
  }
}

// A socket listening at `path`.
tamber::UniqueFd listenAt(const std::string& path) {
  tamber::UniqueFd listening(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const sockaddr_un address = *tamber::unixSocketAddress(path);
  if (::bind(listening.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listening.get(), 8) != 0) {
    std::perror("listen");
    std::exit(1);
  }
  return listening;
}

// Mean microseconds of `work` over `count` runs.
template <typename Work>
double stageMicroseconds(int count, Work work) {
  const auto start = Clock::now();
  for (int i = 0; i < count; ++i) {
    work();
  }
  return std::chrono::duration<double, std::micro>(Clock::now() - start).count() / count;
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
  // Many short rounds, the sides taking turns, and the median of the rounds' ratios: a moment
  // when the machine is busy elsewhere spoils one round, not the figure.
  constexpr int kRounds = 25;
  const int perRound = total / kRounds;

  const tamber::bench::BenchFolder bench("bench");
  const std::string& folder = bench.path();
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
  const std::string floorPath = folder + "/floor.sock";
  const tamber::UniqueFd rawListening = listenAt(rawPath);
  const tamber::UniqueFd floorListening = listenAt(floorPath);
  const std::string floorLogPath = data + "/floor-audit.jsonl";
  const tamber::UniqueFd floorLog(
      ::open(floorLogPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600));
  const std::string floorRecord =
      R"({"action":"stat","at":1700000000.5,"destination":"","elevated":false,"ok":true,)"
      R"("path":")" +
      scope + "/a.txt\"}\n";
  const int warmup = 200;
  std::thread raw(trivialServer, rawListening.get(), warmup + perRound * kRounds, reply);
  std::thread floor(floorServer, floorListening.get(), warmup + perRound * kRounds, reply, scope,
                    "a.txt", floorLogPath, floorLog.get(), floorRecord);

  Side warm;
  measure(warm, broker.socketPath(), request, warmup);
  measure(warm, rawPath, request, warmup);
  measure(warm, floorPath, request, warmup);

  Side brokerSide;
  Side rawSide;
  Side floorSide;
  std::vector<double> brokerToRaw, floorToRaw, brokerToFloor;
  for (int round = 0; round < kRounds; ++round) {
    const double rawBefore = rawSide.seconds;
    const double floorBefore = floorSide.seconds;
    const double brokerBefore = brokerSide.seconds;
    measure(rawSide, rawPath, request, perRound);
    measure(floorSide, floorPath, request, perRound);
    measure(brokerSide, broker.socketPath(), request, perRound);
    // Equal request counts, so the ratio of rates is the inverse ratio of times.
    const double rawTime = rawSide.seconds - rawBefore;
    const double floorTime = floorSide.seconds - floorBefore;
    const double brokerTime = brokerSide.seconds - brokerBefore;
    brokerToRaw.push_back(rawTime / brokerTime);
    floorToRaw.push_back(rawTime / floorTime);
    brokerToFloor.push_back(floorTime / brokerTime);
  }
  raw.join();
  floor.join();
  broker.stop();

  std::printf("sequential \"stat\" requests, %d per side, one client\n", perRound * kRounds);
  print("raw Unix-socket round trip", rawSide);
  print("floor (the calls a stat needs)", floorSide);
  print("agent broker (stat)", brokerSide);
  std::printf("ratio broker/raw: %.2f (target >= 0.70; median of %d rounds)\n",
              percentile(brokerToRaw, 0.5), kRounds);
  std::printf("ratio floor/raw: %.2f (the most any broker could reach)\n",
              percentile(floorToRaw, 0.5));
  std::printf("ratio broker/floor: %.2f (target >= 0.90)\n", percentile(brokerToFloor, 0.5));

  // Where the broker's time goes: its own stages on the same request, one at a time, warm,
  // and beside the two that make system calls, those calls alone.
  const int count = 20000;
  const std::optional<tamber::PlainRequest> plain = tamber::parsePlainRequest(request);
  if (!plain) {
    std::fprintf(stderr,
                 "the request is not plain, so the broker's quick reader is not timed: %s\n",
                 request.c_str());
    return 1;
  }
  const tamber::PlainRequest& parsed = *plain;
  const tamber::CheckedAction admitted = tamber::preflightFileAction(parsed, grant);
  tamber::AuditLog audit(folder);
  const tamber::ActionReply answer = tamber::performFileAction(admitted, grant);
  std::printf("broker stages, mean of %d runs in this process (warm caches):\n", count);
  std::printf("  parse      %6.2f us\n",
              stageMicroseconds(count, [&] { return tamber::parsePlainRequest(request); }));
  std::printf("  lookup     %6.2f us\n",
              stageMicroseconds(count, [&] { return grants.get(grant.token); }));
  std::printf("  preflight  %6.2f us\n",
              stageMicroseconds(count, [&] { return tamber::preflightFileAction(parsed, grant); }));
  std::printf("  action     %6.2f us   (its system calls alone %.2f us)\n",
              stageMicroseconds(count, [&] { return tamber::performFileAction(admitted, grant); }),
              stageMicroseconds(count, [&] { floorAction(scope, "a.txt"); }));
  std::printf(
      "  audit      %6.2f us   (its system calls alone %.2f us)\n",
      stageMicroseconds(count, [&] { audit.append(parsed, false, true); }),
      stageMicroseconds(count, [&] { floorAudit(floorLogPath, floorLog.get(), floorRecord); }));
  std::printf("  reply      %6.2f us\n", stageMicroseconds(count, [&] { return answer.text(); }));

  // The activity journal: what the broker pays to hand over a record (its strings are built
  // here, where the broker moves those it already has), and what the journal's own thread
  // spends writing them, off the broker's path. Fewer records than the queue holds.
  const std::string journalFolder = folder + "/journal";
  ::mkdir(journalFolder.c_str(), 0700);
  const int records = 5000;
  const auto shared = grants.get(grant.token);
  double written = 0;
  {
    tamber::ActivityJournal journal(journalFolder);
    journal.flush();  // opened
    const double handOver = stageMicroseconds(records, [&] {
      tamber::ActivityRecord record;
      record.grant = shared;
      record.at = tamber::WallClock::now();
      record.action = "stat";
      record.path = scope + "/a.txt";
      journal.record(std::move(record));
    });
    const auto start = Clock::now();
    journal.flush();
    written = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
    std::printf(
        "  journal    %6.2f us   (its thread: %.2f us a record, written after the last "
        "hand-over)\n",
        handOver, (written + handOver * records) / records);
  }

  return 0;
}
