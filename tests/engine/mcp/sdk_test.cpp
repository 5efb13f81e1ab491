#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "access/grant.h"
#include "agent/agent_server.h"
#include "engine/larkspan_harness.h"
#include "platform/process.h"
#include "support/temp_dir.h"

namespace tamber::testing {
namespace {

// The official MCP TypeScript SDK's client (tests/engine/mcp/sdk_client/sdk_client.mjs), configured
// from the invitation's "mcpServers" block, against the real broker with a real edit grant.
// The SDK is installed from the npm registry by the test command; without it (or without
// Node.js) the test is skipped locally and fails where TAMBER_REQUIRE_REAL_PARTS is set.
TEST(McpSdk, AHarnessConfiguredFromTheInvitationWorksInsideTheGrantOnly) {
  const std::string node = TAMBER_NODE;
  const std::string client = std::string(TAMBER_MCP_SDK_DIR) + "/sdk_client.mjs";
  const std::string sdk = std::string(TAMBER_MCP_SDK_DIR) + "/node_modules/@modelcontextprotocol";
  if (node.empty() || node.ends_with("NOTFOUND") || !std::filesystem::exists(sdk)) {
    SKIP_WITHOUT_REAL_PART("needs Node.js and the MCP SDK in " TAMBER_MCP_SDK_DIR
                           " (npm ci --prefix " TAMBER_MCP_SDK_DIR ")");
  }

  TempDir dir;
  const std::string data = dir.mkdir("data");
  ::chmod(data.c_str(), 0700);
  const std::string scope = dir.mkdir("scope");
  dir.write("scope/notes.txt", "agent fixture\nline two\n");
  dir.write("scope/image.bin", std::string("\x89PNG\r\n\x1a\n\xff\x00", 10));
  dir.write("scope/big.txt", std::string(40000, 'x'));
  dir.mkdir("scope/docs");
  dir.write("scope/docs/plan.md", std::string(10000, 'p'));
  dir.mkdir("scope/.ssh");
  dir.write("scope/.ssh/id_ed25519", "PRIVATE KEY");
  dir.write("outside.txt", "outside the grant");
  ASSERT_EQ(::link((dir / "outside.txt").c_str(), (dir / "scope/linked.txt").c_str()), 0);
  ASSERT_EQ(::mkfifo((dir / "scope/pipe").c_str(), 0600), 0);

  GrantStore grants;
  AgentServer server(data, grants, nullptr);
  server.start();
  const AgentGrant edit = grants.add({scope}, true, false, true);

  RunOptions options;
  options.environment = {
      {"LARKSPAN", larkspanBinary()}, {"DATA", data}, {"SCOPE", scope}, {"TOKEN", edit.token}};
  options.limit = std::chrono::seconds(60);
  const BinaryRun run = runBinary({node, client}, options);
  EXPECT_EQ(run.status, 0) << run.out;
  EXPECT_EQ((run.out + run.err).find(edit.token), std::string::npos);
  EXPECT_EQ(readFile(dir / "outside.txt"), "outside the grant");
}

}  // namespace
}  // namespace tamber::testing
