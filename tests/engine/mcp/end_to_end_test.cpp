#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "access/grant.h"
#include "agent/agent_server.h"
#include "engine/larkspan_harness.h"
#include "platform/fd_io.h"
#include "platform/process.h"

// The real larkspan mcp, as a harness starts it, with the real broker of this process behind
// it.
namespace tamber::testing {
namespace {

using namespace std::chrono_literals;

struct Broker {
  TempDir dir;
  std::string data = dir.mkdir("data");
  std::string scope = dir.mkdir("scope");
  GrantStore grants;
  AgentServer server{data, grants, nullptr};
  std::string token;

  Broker() {
    ::chmod(data.c_str(), 0700);
    server.start();
    token = grants.add({scope}, true, false, true).token;
  }
};

class McpServer {
 public:
  explicit McpServer(const Broker& broker)
      : child_({larkspanBinary(), "--data", broker.data, "mcp"}, {{{"TAMBER_GRANT", broker.token}},
                                                                  ChildStream::toPipe(),
                                                                  ChildStream::toPipe(),
                                                                  ChildStream::toNullDevice()}) {
    EXPECT_EQ(child_.startError(), 0);
  }

  ChildProcess& child() { return child_; }

  void send(const std::string& line) { EXPECT_EQ(writeAll(child_.input().get(), line + "\n"), 0); }

  // The next line it writes, parsed; null when its output ends.
  Json next() {
    for (size_t newline; (newline = buffered_.find('\n')) == std::string::npos;) {
      char chunk[65536];
      const ssize_t n = readSome(child_.output().get(), chunk, sizeof chunk);
      if (n <= 0) {
        return nullptr;
      }
      buffered_.append(chunk, static_cast<size_t>(n));
    }
    const size_t newline = buffered_.find('\n');
    Json line = Json::parse(buffered_.substr(0, newline));
    buffered_.erase(0, newline + 1);
    return line;
  }

  // tools/call of `tool` as a 2026-07-28 request; its result.
  Json call(const std::string& tool, const Json& arguments, int id = 1) {
    send(callText(tool, arguments, id));
    return next().at("result");
  }

  static std::string callText(const std::string& tool, const Json& arguments, int id) {
    return Json{{"jsonrpc", "2.0"},
                {"id", id},
                {"method", "tools/call"},
                {"params",
                 {{"name", tool},
                  {"arguments", arguments},
                  {"_meta",
                   {{"io.modelcontextprotocol/protocolVersion", "2026-07-28"},
                    {"io.modelcontextprotocol/clientCapabilities", Json::object()}}}}}}
        .dump();
  }

 private:
  ChildProcess child_;
  std::string buffered_;
};

TEST(McpEndToEnd, PagesAThousandNamesAndReadsA200KiBFileInLines) {
  Broker broker;
  std::set<std::string> names;
  broker.dir.mkdir("scope/many");
  for (int i = 0; i < 1000; ++i) {
    const std::string name = "name-" + std::to_string(i);
    names.insert(name);
    broker.dir.write("scope/many/" + name, "");
  }
  std::string text;
  for (int line = 1; text.size() < 200 * 1024; ++line) {
    text += "line " + std::to_string(line) + " of a file read in parts\n";
  }
  const std::string file = broker.dir.write("scope/big.txt", text);
  McpServer mcp(broker);

  std::multiset<std::string> listed;
  Json arguments = {{"path", broker.scope + "/many"}};
  int pages = 0;
  for (;;) {
    ++pages;
    const Json page = mcp.call("list", arguments).at("structuredContent");
    for (const Json& name : page.at("entries")) {
      listed.insert(name.get<std::string>());
    }
    if (!page.contains("continuation")) {
      break;
    }
    arguments["continuation"] = page.at("continuation");
  }
  EXPECT_EQ(pages, 5);
  EXPECT_EQ(listed, std::multiset<std::string>(names.begin(), names.end()));

  std::string joined;
  int parts = 0;
  for (Json next = 1; !next.is_null(); ++parts) {
    const Json part = mcp.call("read", {{"path", file}, {"start_line", next}});
    EXPECT_LE(part.at("content").at(0).at("text").get<std::string>().size(), 32768u);
    joined += part.at("content").at(0).at("text").get<std::string>();
    next = part.at("structuredContent").value("next_start_line", Json());
  }
  EXPECT_EQ(joined, text);
  EXPECT_EQ(parts, 7);
}

// A harness that asks for five copies of 900 MiB and closes its pipes: the copy under way stops
// and leaves nothing, the four waiting are never made, and the server ends at once.
TEST(McpEndToEnd, CallsEndWithTheirClient) {
  Broker broker;
  {
    UniqueFd big(::open((broker.scope + "/big").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
    ASSERT_EQ(::ftruncate(big.get(), 900LL << 20), 0);  // sparse: no space on disk
  }
  McpServer mcp(broker);
  for (int id = 1; id <= 5; ++id) {
    mcp.send(McpServer::callText("copy",
                                 {{"path", broker.scope + "/big"},
                                  {"destination", broker.scope + "/copy-" + std::to_string(id)}},
                                 id));
  }
  ASSERT_TRUE(waitFor([&] { return std::filesystem::exists(broker.scope + "/copy-1"); }, 10s));
  const auto closed = std::chrono::steady_clock::now();
  mcp.child().input().reset();
  mcp.child().output().reset();
  EXPECT_TRUE(mcp.child().wait(10s).has_value());
  EXPECT_LT(std::chrono::steady_clock::now() - closed, 2s);
  broker.server.stop();  // waits for the request in hand
  for (int id = 1; id <= 5; ++id) {
    EXPECT_FALSE(std::filesystem::exists(broker.scope + "/copy-" + std::to_string(id))) << id;
  }
}

// Under 2025-03-26, one line of 1 MiB holding thousands of reads is refused whole, without a
// read made, and the server's memory stays small.
TEST(McpEndToEnd, ABatchOverItsLimitIsRefusedWholeInBoundedMemory) {
  Broker broker;
  const std::string file = broker.dir.write("scope/full.txt", std::string(32768, 'f'));
  McpServer mcp(broker);
  mcp.send(R"({"jsonrpc":"2.0","id":0,"method":"initialize","params":{"protocolVersion":)"
           R"("2025-03-26","capabilities":{},"clientInfo":{"name":"t","version":"1"}}})");
  EXPECT_EQ(mcp.next().at("result").at("protocolVersion"), "2025-03-26");
  std::string batch = "[";
  for (int id = 1; batch.size() < 1000 * 1000; ++id) {
    batch +=
        (id > 1 ? "," : "") + Json{{"jsonrpc", "2.0"},
                                   {"id", id},
                                   {"method", "tools/call"},
                                   {"params", {{"name", "read"}, {"arguments", {{"path", file}}}}}}
                                  .dump();
  }
  mcp.send(batch + "]");
  const Json refused = mcp.next().at("error");
  EXPECT_EQ(refused.at("code"), -32600);
  EXPECT_NE(refused.at("message").get<std::string>().find("at most 32"), std::string::npos);
  mcp.child().input().reset();
  EXPECT_EQ(mcp.child().wait(10s), 0);
  EXPECT_LT(mcp.child().peakResidentKilobytes(), 64 * 1024);
  EXPECT_EQ(readFile(broker.data + "/agent-audit.jsonl"), "") << "no read was made";
}

}  // namespace
}  // namespace tamber::testing
