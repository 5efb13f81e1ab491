#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <optional>
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

// A broker with an edit grant over `scope`, and a larkspan mcp started for it on demand.
struct Harness {
  TempDir dir;
  std::string data = dir.mkdir("data");
  std::string scope = dir.mkdir("scope");
  GrantStore grants;
  AgentServer server{data, grants, nullptr};
  std::string token;
  std::optional<ChildProcess> mcp;
  std::string buffered;

  Harness() {
    ::chmod(data.c_str(), 0700);  // the engine's data directory is private
    server.start();
    token = grants.add({scope}, true, false, true).token;
  }

  void start() {
    mcp.emplace(std::vector<std::string>{larkspanBinary(), "--data", data, "mcp"},
                ChildOptions{{{"TAMBER_GRANT", token}},
                             ChildStream::toPipe(),
                             ChildStream::toPipe(),
                             ChildStream::toNullDevice()});
  }

  void send(const std::string& line) { EXPECT_EQ(writeAll(mcp->input().get(), line + "\n"), 0); }

  // The next line the server writes, parsed.
  Json next() {
    char chunk[65536];
    for (ssize_t n = 1; buffered.find('\n') == std::string::npos && n > 0;) {
      n = readSome(mcp->output().get(), chunk, sizeof chunk);
      buffered.append(chunk, static_cast<size_t>(std::max<ssize_t>(n, 0)));
    }
    const size_t newline = buffered.find('\n');
    Json line = Json::parse(buffered.substr(0, newline));
    buffered.erase(0, newline + 1);
    return line;
  }

  // A tools/call of `tool` that carries its revision, 2026-07-28.
  static std::string callText(const std::string& tool, const Json& arguments, int id = 1) {
    const Json meta = {{"io.modelcontextprotocol/protocolVersion", "2026-07-28"},
                       {"io.modelcontextprotocol/clientCapabilities", Json::object()}};
    return Json{{"jsonrpc", "2.0"},
                {"id", id},
                {"method", "tools/call"},
                {"params", {{"name", tool}, {"arguments", arguments}, {"_meta", meta}}}}
        .dump();
  }

  Json call(const std::string& tool, const Json& arguments) {
    send(callText(tool, arguments));
    return next().at("result");
  }
};

TEST(McpEndToEnd, PagesAThousandNamesAndReadsA200KiBFileInLines) {
  Harness h;
  std::set<std::string> names;
  h.dir.mkdir("scope/many");
  for (int i = 0; i < 1000; ++i) {
    const std::string name = "name-" + std::to_string(i);
    names.insert(name);
    h.dir.write("scope/many/" + name, "");
  }
  std::string text;
  for (int line = 1; text.size() < 200 * 1024; ++line) {
    text += "line " + std::to_string(line) + " of a file read in parts\n";
  }
  const std::string file = h.dir.write("scope/big.txt", text);
  h.start();

  std::multiset<std::string> listed;
  Json arguments = {{"path", h.scope + "/many"}};
  int pages = 0;
  for (;;) {
    ++pages;
    const Json page = h.call("list", arguments).at("structuredContent");
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
    const Json part = h.call("read", {{"path", file}, {"start_line", next}});
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
  Harness h;
  {
    UniqueFd big(::open((h.scope + "/big").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
    ASSERT_EQ(::ftruncate(big.get(), 900LL << 20), 0);  // sparse: no space on disk
  }
  h.start();
  for (int id = 1; id <= 5; ++id) {
    h.send(Harness::callText(
        "copy",
        {{"path", h.scope + "/big"}, {"destination", h.scope + "/copy-" + std::to_string(id)}},
        id));
  }
  // The broker serves in this process: a copy under way is a file without a name among its
  // descriptors, in the folder it is being made in.
  const auto copying = [&] {
    for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
      std::error_code ignored;
      if (std::filesystem::read_symlink(fd.path(), ignored).string().starts_with(h.scope + "/#")) {
        return true;
      }
    }
    return false;
  };
  ASSERT_TRUE(waitFor(copying, 10s));
  const auto closed = std::chrono::steady_clock::now();
  h.mcp->input().reset();
  h.mcp->output().reset();
  EXPECT_TRUE(h.mcp->wait(10s).has_value());
  EXPECT_LT(std::chrono::steady_clock::now() - closed, 2s);
  h.server.stop();  // waits for the request in hand
  for (int id = 1; id <= 5; ++id) {
    EXPECT_FALSE(std::filesystem::exists(h.scope + "/copy-" + std::to_string(id))) << id;
  }
}

// Under 2025-03-26, one line of 1 MiB holding thousands of reads is refused whole, without a
// read made, and the server's memory stays small.
TEST(McpEndToEnd, ABatchOverItsLimitIsRefusedWholeInBoundedMemory) {
  Harness h;
  const std::string file = h.dir.write("scope/full.txt", std::string(32768, 'f'));
  h.start();
  h.send(R"({"jsonrpc":"2.0","id":0,"method":"initialize","params":{"protocolVersion":)"
         R"("2025-03-26","capabilities":{},"clientInfo":{"name":"t","version":"1"}}})");
  EXPECT_EQ(h.next().at("result").at("protocolVersion"), "2025-03-26");
  std::string batch = "[";
  for (int id = 1; batch.size() < 1000 * 1000; ++id) {
    batch +=
        (id > 1 ? "," : "") + Json{{"jsonrpc", "2.0"},
                                   {"id", id},
                                   {"method", "tools/call"},
                                   {"params", {{"name", "read"}, {"arguments", {{"path", file}}}}}}
                                  .dump();
  }
  h.send(batch + "]");
  const Json refused = h.next().at("error");
  EXPECT_EQ(refused.at("code"), -32600);
  EXPECT_NE(refused.at("message").get<std::string>().find("at most 32"), std::string::npos);
  h.mcp->input().reset();
  EXPECT_EQ(h.mcp->wait(10s), 0);
  EXPECT_LT(h.mcp->peakResidentKilobytes(), 200 * 1024)
      << "a server that made those reads passed 500 MB";
  EXPECT_EQ(readFile(h.data + "/agent-audit.jsonl"), "") << "no read was made";
}

}  // namespace
}  // namespace tamber::testing
