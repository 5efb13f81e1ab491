// Per-call latency of reading a 1 KiB file as an agent harness does it: through one
// long-running `larkspan mcp` (a tools/call "read" per request over its standard input and
// output) against one `larkspan agent` process per request, both against the same real
// broker in this process. Goal: p50 under 0.5 ms through MCP.
// Usage: mcp_bench [calls per side]   (default 300)
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
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
#include "access/reply.h"
#include "agent/agent_server.h"
#include "platform/bounded_process.h"
#include "platform/unique_fd.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

double percentile(std::vector<double> samples, double fraction) {
  std::sort(samples.begin(), samples.end());
  return samples[static_cast<size_t>(fraction * static_cast<double>(samples.size() - 1))];
}

double millisecondsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// `larkspan --data DATA mcp` with pipes on both standard streams.
class McpChild {
 public:
  McpChild(const std::string& larkspan, const std::string& data, const std::string& token) {
    int in[2];
    int out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) {
      std::perror("pipe2");
      std::exit(1);
    }
    toChild_.reset(in[1]);
    fromChild_.reset(out[0]);
    tamber::UniqueFd childIn(in[0]), childOut(out[1]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, childIn.get(), 0);
    posix_spawn_file_actions_adddup2(&actions, childOut.get(), 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::vector<std::string> environment = {"TAMBER_GRANT=" + token};
    for (char** entry = environ; *entry != nullptr; ++entry) {
      if (std::string(*entry).rfind("TAMBER_GRANT=", 0) != 0) {
        environment.emplace_back(*entry);
      }
    }
    std::vector<char*> envp;
    for (std::string& entry : environment) {
      envp.push_back(entry.data());
    }
    envp.push_back(nullptr);
    std::vector<std::string> arguments = {larkspan, "--data", data, "mcp"};
    std::vector<char*> argv;
    for (std::string& argument : arguments) {
      argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) {
      std::perror("posix_spawn");
      std::exit(1);
    }
    posix_spawn_file_actions_destroy(&actions);
  }

  ~McpChild() {
    toChild_.reset();  // end of input ends the server
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }

  // Sends one message and returns the response line.
  std::string exchange(const std::string& message) {
    const std::string line = message + "\n";
    if (::write(toChild_.get(), line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
      std::perror("write");
      std::exit(1);
    }
    for (;;) {
      const size_t newline = buffered_.find('\n');
      if (newline != std::string::npos) {
        std::string response = buffered_.substr(0, newline);
        buffered_.erase(0, newline + 1);
        return response;
      }
      char chunk[65536];
      const ssize_t n = ::read(fromChild_.get(), chunk, sizeof chunk);
      if (n <= 0) {
        std::fprintf(stderr, "larkspan mcp ended early\n");
        std::exit(1);
      }
      buffered_.append(chunk, static_cast<size_t>(n));
    }
  }

  void notify(const std::string& message) {
    const std::string line = message + "\n";
    (void)!::write(toChild_.get(), line.data(), line.size());
  }

 private:
  pid_t pid_ = -1;
  tamber::UniqueFd toChild_;
  tamber::UniqueFd fromChild_;
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

  std::string folder = "/tmp/tamber-bench-XXXXXX";
  if (::mkdtemp(folder.data()) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
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
    const tamber::BoundedRunResult run =
        tamber::runProcessWithin({larkspan, "--data", data, "--json", "agent", request},
                                 {{"TAMBER_GRANT", grant.token}}, std::chrono::seconds(10));
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

  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);
  return 0;
}
