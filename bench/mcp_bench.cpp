// Per-call latency of reading a 1 KiB file as an agent harness does it: through one
// long-running `larkspan mcp` (a tools/call "read" per request over its standard input and
// output) against one `larkspan agent` process per request, both against the same real
// broker in this process. Goal: p50 under 0.5 ms through MCP.
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
  const tamber::AgentGrant grant = grants.add({scope}, false, false, true);
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
  std::vector<double> throughMcp;
  {
    McpChild mcp(larkspan, data, grant.token);
    mcp.exchange(R"({"jsonrpc":"2.0","id":0,"method":"initialize","params":{)"
                 R"("protocolVersion":"2025-11-25","capabilities":{},)"
                 R"("clientInfo":{"name":"mcp_bench","version":"1"}}})");
    mcp.notify(R"({"jsonrpc":"2.0","method":"notifications/initialized"})");
    const std::string call =
        tamber::jsonData({{"jsonrpc", "2.0"},
                          {"id", 1},
                          {"method", "tools/call"},
                          {"params", {{"name", "read"}, {"arguments", {{"path", file}}}}}});
    for (int i = 0; i < calls + 20; ++i) {
      const auto start = Clock::now();
      const std::string response = mcp.exchange(call);
      if (i >= 20) {  // the first calls warm the caches
        throughMcp.push_back(millisecondsSince(start));
      }
      if (response.find("\"isError\":false") == std::string::npos) {
        std::fprintf(stderr, "tools/call failed: %s\n", response.c_str());
        return 1;
      }
    }
  }
  broker.stop();

  std::printf("read of a 1 KiB file through the real broker, %d calls per side\n", calls);
  print("larkspan agent (process per call)", perProcess);
  print("larkspan mcp (tools/call)", throughMcp);
  std::printf("ratio p50 mcp/agent: %.3f; p50 through MCP %.3f ms (goal < 0.5 ms)\n",
              percentile(throughMcp, 0.5) / percentile(perProcess, 0.5),
              percentile(throughMcp, 0.5));

  return 0;
}
