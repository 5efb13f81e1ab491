#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "access/grant.h"
#include "agent/agent_server.h"
#include "engine/larkspan_harness.h"
#include "platform/process.h"
#include "support/temp_dir.h"

namespace tamber::testing {
namespace {

// Runs one of the official MCP TypeScript SDK's clients (tests/engine/mcp/sdk_client/), configured
// from the invitation's "mcpServers" block, against the real broker with a real edit grant over
// a folder made by `fill`. The SDK is installed from the npm registry by the test command;
// without it (or without Node.js) the test is skipped locally and fails where
// TAMBER_REQUIRE_REAL_PARTS is set.
void runClient(const std::string& script, const std::function<void(TempDir&)>& fill) {
  const std::string node = TAMBER_NODE;
  const std::string client = std::string(TAMBER_MCP_SDK_DIR) + "/" + script;
  const std::string sdk = std::string(TAMBER_MCP_SDK_DIR) + "/node_modules/@modelcontextprotocol";
  if (node.empty() || node.ends_with("NOTFOUND") || !std::filesystem::exists(sdk + "/client") ||
      !std::filesystem::exists(sdk + "/sdk")) {
    SKIP_WITHOUT_REAL_PART("needs Node.js and the MCP SDK in " TAMBER_MCP_SDK_DIR
                           " (npm ci --prefix " TAMBER_MCP_SDK_DIR ")");
  }

  TempDir dir;
  const std::string data = dir.mkdir("data");
  ::chmod(data.c_str(), 0700);
  const std::string scope = dir.mkdir("scope");
  dir.write("scope/notes.txt", "agent fixture\nline two\n");
  dir.mkdir("scope/.ssh");
  dir.write("scope/.ssh/id_ed25519", "PRIVATE KEY");
  dir.write("outside.txt", "outside the grant");
  fill(dir);

  GrantStore grants;
  AgentServer server(data, grants, nullptr);
  server.start();
  const AgentGrant edit = grants.add({scope}, true, false, true);

  RunOptions options;
  options.environment = {
      {"LARKSPAN", larkspanBinary()}, {"DATA", data}, {"SCOPE", scope}, {"TOKEN", edit.token}};
  options.limit = std::chrono::seconds(90);
  const BinaryRun run = runBinary({node, client}, options);
  EXPECT_EQ(run.status, 0) << run.out;
  EXPECT_EQ((run.out + run.err).find(edit.token), std::string::npos);
  EXPECT_EQ(readFile(dir / "outside.txt"), "outside the grant");
}

TEST(McpSdk, AHarnessConfiguredFromTheInvitationWorksInsideTheGrantOnly) {
  runClient("sdk_client.mjs", [](TempDir& dir) {
    dir.write("scope/image.bin", std::string("\x89PNG\r\n\x1a\n\xff\x00", 10));
    dir.write("scope/big.txt", std::string(40000, 'x'));
    dir.mkdir("scope/docs");
    dir.write("scope/docs/plan.md", std::string(10000, 'p'));
    ASSERT_EQ(::link((dir / "outside.txt").c_str(), (dir / "scope/linked.txt").c_str()), 0);
    ASSERT_EQ(::mkfifo((dir / "scope/pipe").c_str(), 0600), 0);
  });
}

// The version 2 client, by default, probing for 2026-07-28 and pinned to it: each lists the
// tools, reads, edits, and is refused an overwrite and a secret with the broker's sentences.
TEST(McpSdk, TheVersion2ClientWorksOnEveryRevisionItChooses) {
  runClient("v2_client.mjs", [](TempDir&) {});
}

}  // namespace
}  // namespace tamber::testing
