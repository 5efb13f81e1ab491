// Per-call latency of reading a 1 KiB file as an agent harness does it: through one
// long-running `larkspan mcp` (a tools/call "read" per request over its standard input and
// output) against one `larkspan agent` process per request, both against the same real
// broker in this process. Goal: p50 of at most 0.1 ms through MCP, as fast for a request
// that carries its revision (2026-07-28) as after an initialize (2025-11-25). Beside it, the
// p50 of an edit of that file and of a 200-name list page of a folder of 1,000.
// Usage: mcp_bench [calls per side]   (default 300)
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "access/grant.h"
#include "agent/agent_server.h"
#include "base/reply.h"
#include "bench_support.h"
#include "platform/fd_io.h"
#include "platform/process.h"
#include "platform/unique_fd.h"

namespace {

using Clock = std::chrono::steady_clock;

using tamber::bench::percentile;

double millisecondsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// `larkspan --data DATA mcp` with pipes on its standard input and output.
class McpChild {
 public:
  McpChild(const std::string& larkspan, const std::string& data, const std::string& token)
      : child_({larkspan, "--data", data, "mcp"}, {{{"TAMBER_GRANT", token}},
                                                   tamber::ChildStream::toPipe(),
                                                   tamber::ChildStream::toPipe(),
                                                   tamber::ChildStream::toNullDevice()}) {
    if (child_.startError() != 0) {
      std::fprintf(stderr, "cannot start larkspan mcp\n");
      std::exit(1);
    }
  }

  ~McpChild() {
    child_.input().reset();  // end of input ends the server
    child_.wait();
  }

  // Sends one message and returns the response line.
  std::string exchange(const std::string& message) {
    notify(message);
    for (;;) {
      const size_t newline = buffered_.find('\n');
      if (newline != std::string::npos) {
        std::string response = buffered_.substr(0, newline);
        buffered_.erase(0, newline + 1);
        return response;
      }
      char chunk[65536];
      const ssize_t n = tamber::readSome(child_.output().get(), chunk, sizeof chunk);
      if (n <= 0) {
        std::fprintf(stderr, "larkspan mcp ended early\n");
        std::exit(1);
      }
      buffered_.append(chunk, static_cast<size_t>(n));
    }
  }

  void notify(const std::string& message) {
    if (tamber::writeAll(child_.input().get(), message + "\n") != 0) {
      std::fprintf(stderr, "larkspan mcp stopped reading\n");
      std::exit(1);
    }
  }

 private:
  tamber::ChildProcess child_;
  std::string buffered_;
};

void print(const char* name, const std::vector<double>& milliseconds) {
  std::printf("%-34s p50 %7.3f ms   p99 %7.3f ms\n", name, percentile(milliseconds, 0.50),
              percentile(milliseconds, 0.99));
}

}  // namespace

int main(int argc, char** argv) {
  const int calls = argc > 1 ? std::max(10, std::atoi(argv[1])) : 300;
  const std::string larkspan = TAMBER_BINARY_DIR "/larkspan";

  const tamber::bench::BenchFolder bench("bench");
  const std::string& folder = bench.path();
  const std::string data = folder + "/data";
  const std::string scope = folder + "/scope";
  ::mkdir(data.c_str(), 0700);
  ::mkdir(scope.c_str(), 0755);
  const std::string file = scope + "/notes.txt";
  std::ofstream(file) << std::string(1024, 'n');

  tamber::GrantStore grants;
  const tamber::AgentGrant grant = grants.add({scope}, true, false, true);  // edit, for edit
  tamber::AgentServer broker(data, grants, nullptr);
  broker.start();

  // One process per request, as `larkspan agent` is used.
  std::vector<double> perProcess;
  const std::string request = tamber::jsonData({{"action", "read"}, {"path", file}});
  for (int i = 0; i < calls; ++i) {
    const auto start = Clock::now();
    const tamber::ProcessResult run =
        tamber::runProcess({larkspan, "--data", data, "--json", "agent", request},
                           {{{"TAMBER_GRANT", grant.token}},
                            tamber::ProcessOptions::Errors::discard,
                            std::chrono::seconds(10)});
    perProcess.push_back(millisecondsSince(start));
    if (run.status != 0 || run.output.find("\"ok\":true") == std::string::npos) {
      std::fprintf(stderr, "larkspan agent failed: %s\n", run.output.c_str());
      return 1;
    }
  }

  // One server for every request, as an MCP harness uses it.
  const std::string edited = scope + "/edited.txt";
  std::ofstream(edited) << "alpha\n" << std::string(1018, 'e') << "\n";
  const std::string crowd = scope + "/crowd";
  ::mkdir(crowd.c_str(), 0755);
  for (int i = 0; i < 1000; ++i) {
    std::ofstream(crowd + "/name-" + std::to_string(i));
  }
  const tamber::Json modern = {
      {"io.modelcontextprotocol/protocolVersion", "2026-07-28"},
      {"io.modelcontextprotocol/clientCapabilities", tamber::Json::object()}};
  const auto call = [&](const char* tool, tamber::Json arguments, bool withMeta) {
    tamber::Json params = {{"name", tool}, {"arguments", std::move(arguments)}};
    if (withMeta) {
      params["_meta"] = modern;
    }
    return tamber::jsonData(
        {{"jsonrpc", "2.0"}, {"id", 1}, {"method", "tools/call"}, {"params", std::move(params)}});
  };
  std::vector<double> read2025;
  std::vector<double> read2026;
  std::vector<double> edits;
  std::vector<double> pages;
  {
    McpChild mcp(larkspan, data, grant.token);
    mcp.exchange(R"({"jsonrpc":"2.0","id":0,"method":"initialize","params":{)"
                 R"("protocolVersion":"2025-11-25","capabilities":{},)"
                 R"("clientInfo":{"name":"mcp_bench","version":"1"}}})");
    mcp.notify(R"({"jsonrpc":"2.0","method":"notifications/initialized"})");
    // Each sample list in turn, so that a slow moment of the machine falls on all of them.
    const std::string legacyRead = call("read", {{"path", file}}, false);
    const std::string modernRead = call("read", {{"path", file}}, true);
    const std::string page = call("list", {{"path", crowd}}, true);
    const std::string forth =
        call("edit",
             {{"path", edited}, {"edits", {{{"old_text", "alpha"}, {"new_text", "omega"}}}}}, true);
    const std::string back =
        call("edit",
             {{"path", edited}, {"edits", {{{"old_text", "omega"}, {"new_text", "alpha"}}}}}, true);
    const auto timed = [&](const std::string& message, std::vector<double>* samples) {
      const auto start = Clock::now();
      const std::string response = mcp.exchange(message);
      if (samples != nullptr) {
        samples->push_back(millisecondsSince(start));
      }
      if (response.find("\"isError\":false") == std::string::npos) {
        std::fprintf(stderr, "tools/call failed: %s\n", response.c_str());
        std::exit(1);
      }
    };
    // The two reads in turn, so that a slow moment of the machine falls on both; then the
    // list pages and the edits, which would otherwise disturb the reads' caches.
    for (int i = 0; i < calls + 20; ++i) {
      const bool warm = i >= 20;  // the first calls warm the caches
      timed(legacyRead, warm ? &read2025 : nullptr);
      timed(modernRead, warm ? &read2026 : nullptr);
    }
    for (int i = 0; i < calls + 20; ++i) {
      timed(page, i >= 20 ? &pages : nullptr);
    }
    for (int i = 0; i < calls + 20; ++i) {
      timed(i % 2 == 0 ? forth : back, i >= 20 ? &edits : nullptr);
    }
  }
  broker.stop();

  std::printf("read of a 1 KiB file through the real broker, %d calls per side\n", calls);
  print("larkspan agent (process per call)", perProcess);
  print("larkspan mcp read, 2025-11-25", read2025);
  print("larkspan mcp read, 2026-07-28", read2026);
  print("larkspan mcp edit, 2026-07-28", edits);
  print("larkspan mcp list page of 200", pages);
  std::printf("ratio p50 mcp/agent: %.3f; ratio p50 read 2026-07-28/2025-11-25: %.3f\n",
              percentile(read2025, 0.5) / percentile(perProcess, 0.5),
              percentile(read2026, 0.5) / percentile(read2025, 0.5));
  std::printf(
      "p50 of a read through MCP %.3f ms (2025-11-25), %.3f ms (2026-07-28); goal <= 0.1 ms\n",
      percentile(read2025, 0.5), percentile(read2026, 0.5));

  return 0;
}
