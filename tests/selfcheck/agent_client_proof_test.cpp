// The agent client proof against a real broker socket and the real larkspan command line, and
// its command-line runs against stand-in engines that misbehave.
#include "selfcheck/agent_client_proof.h"

#include <sys/stat.h>

#include <chrono>
#include <filesystem>

#include <gtest/gtest.h>

#include "agent/agent_server.h"
#include "support/runs.h"
#include "support/temp_dir.h"
#include "support/waiting.h"

namespace tamber {
namespace {

using namespace std::chrono_literals;
using testing::failureOf;
using testing::readFile;
using testing::TempDir;

// A stand-in engine: a shell script with `body`, executable.
std::string fakeEngine(const TempDir& dir, const std::string& name, const std::string& body) {
  const std::string path = dir.write(name, "#!/bin/sh\n" + body + "\n");
  ::chmod(path.c_str(), 0755);
  return path;
}

class AgentClientProofTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::chmod(data_.c_str(), 0700);
    server_.start();
  }

  // What a proof run with `engine` as the command line throws, or "".
  std::string failure(const std::optional<std::string>& root, const std::string& engine) {
    return failureOf([&] { agentClientProof(grants_, root, {engine, data_}); });
  }

  TempDir dir_;
  std::string data_ = dir_.mkdir("data");
  std::string root_ = dir_.mkdir("fixture");
  GrantStore grants_;
  AgentServer server_{data_, grants_, nullptr};
};

TEST_F(AgentClientProofTest, ProvesEveryRouteThroughTheRealCommandLineAndLeavesNoGrant) {
  dir_.write("fixture/agent-fixture.txt", "an older and longer fixture");
  // A grant the user made is revoked along with the proof's own.
  grants_.add({dir_.mkdir("fixture/mine")}, false, false, true);

  const Json report = agentClientProof(grants_, root_, {testing::larkspanBinary(), data_});
  EXPECT_EQ(report.size(), 7u);
  EXPECT_EQ(report["tokens_logged"], false);
  EXPECT_TRUE(grants_.all().empty());
  EXPECT_EQ(readFile(root_ + "/agent-fixture.txt"), "agent fixture");
  EXPECT_EQ(readFile(root_ + "/agent-fixture.txt.copy"), "agent fixture");
  EXPECT_FALSE(std::filesystem::exists(root_ + "/agent-fixture.txt.denied"));

  // A second run in the same folder meets its own earlier copy, which is never overwritten.
  EXPECT_EQ(failure(root_, testing::larkspanBinary()), "Agent verified-copy route failed");
}

TEST_F(AgentClientProofTest, StopsBeforeAnyRunWithoutFixtureRootOrGrantableFolder) {
  const std::string marker = dir_ / "ran";
  const std::string engine = fakeEngine(dir_, "engine", "touch '" + marker + "'\necho '{}'");

  EXPECT_EQ(failure(std::nullopt, engine), "Fixture-only qualification");
  EXPECT_FALSE(std::filesystem::exists(root_ + "/agent-fixture.txt"));

  // A folder the grant store refuses: the fixture is written, no command line runs.
  const std::string secrets = dir_.mkdir("fixture/.ssh");
  EXPECT_EQ(failure(secrets, engine), "Credential and agent-private paths cannot be delegated");
  EXPECT_EQ(readFile(secrets + "/agent-fixture.txt"), "agent fixture");

  // A link in the fixture's place is refused, not written through.
  const std::string outside = dir_.write("outside.txt", "keep");
  std::filesystem::create_symlink(outside, root_ + "/agent-fixture.txt");
  EXPECT_EQ(failure(root_, engine), "Too many levels of symbolic links");
  EXPECT_EQ(readFile(outside), "keep");

  EXPECT_TRUE(grants_.all().empty());
  EXPECT_FALSE(std::filesystem::exists(marker));
}

TEST_F(AgentClientProofTest, FailsAtTheFirstRouteThatAnswersWrongly) {
  // An engine that says yes to everything: the view grant's edit is not refused.
  EXPECT_EQ(failure(root_, fakeEngine(dir_, "yes", R"(echo '{"ok":true}')")),
            "View route accepted editing");
  // An engine that refuses everything: the view read fails first.
  EXPECT_EQ(failure(root_, fakeEngine(dir_, "no", R"(echo '{"ok":false,"error":"no"}')")),
            "Agent view route failed");
  // Grants added before a failure stay.
  EXPECT_EQ(grants_.all().size(), 2u);
}

// How the request and token reach the command line, the real larkspan run above shows.
TEST(AgentCall, ReportsEveryWayARunFails) {
  TempDir dir;
  const Json request = {{"path", "/x"}, {"action", "read"}};
  const auto failure = [&](const std::string& body, std::chrono::milliseconds limit = 10s) {
    const std::string engine = fakeEngine(dir, "engine-" + std::to_string(limit.count()), body);
    return failureOf([&] { agentCall({engine, "/d", limit}, request, "t"); });
  };
  EXPECT_EQ(failure("echo '{\"ok\":true}'; exit 3"), "Agent CLI did not complete");
  EXPECT_EQ(failure("echo '[1]'"), "Agent response missing");
  EXPECT_NE(failure("echo 'not json'").find("parse error"), std::string::npos);
  EXPECT_EQ(failureOf([&] {
              agentCall({dir / "missing", "/d"}, request, "t");
            }),
            "No such file or directory");

  // A run past the limit is stopped (however it holds its output: RunProcess's tests).
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(failure("exec sleep 30", 1s), "Agent CLI did not complete within 1 second");
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
}

}  // namespace
}  // namespace tamber
