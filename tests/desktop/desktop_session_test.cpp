#include "desktop/desktop_session.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "agent/agent_client.h"
#include "base/failure.h"
#include "support/temp_dir.h"
#include "support/waiting.h"

namespace tamber::desktop {
namespace {

using std::filesystem::exists;
using testing::failureOf;
using testing::TempDir;

unsigned permissions(const std::string& path) {
  return static_cast<unsigned>(std::filesystem::status(path).permissions());
}

std::string launchFailure(DesktopSession& session) {
  return failureOf([&] { session.open(); });
}

TEST(DesktopSession, CreatesAPrivateDataDirectoryAndTightensAnExistingOne) {
  TempDir temp;
  const std::string fresh = temp / "deep/er/data";
  DesktopSession created(fresh, nullptr);
  created.open();
  EXPECT_EQ(permissions(fresh), 0700u);
  EXPECT_EQ(permissions(fresh + "/native.lock"), 0600u);
  EXPECT_TRUE(exists(fresh + "/agent.sock"));
  created.close();

  const std::string open = temp.mkdir("open");
  ::chmod(open.c_str(), 0755);
  DesktopSession existing(open, nullptr);
  existing.open();
  EXPECT_EQ(permissions(open), 0700u);
}

TEST(DesktopSession, SecondCopyFailsOnTheLockAndLeavesTheFirstCopysSocket) {
  TempDir temp;
  const std::string data = temp / "data";
  DesktopSession first(data, nullptr);
  first.open();

  DesktopSession second(data, nullptr);
  EXPECT_EQ(launchFailure(second), "Tamber is already running for this catalog");
  second.close();
  ASSERT_TRUE(exists(data + "/agent.sock"));
  // Still the first copy's live socket.
  const std::string reply =
      sendAgentRequest(data + "/agent.sock", R"({"token":"nope","action":"stat","path":"/"})");
  EXPECT_EQ(reply, R"({"error":"Missing, revoked or expired access grant","ok":false})");

  first.close();
  EXPECT_FALSE(exists(data + "/agent.sock"));
  EXPECT_TRUE(exists(data + "/native.lock"));
  // The lock is free again.
  DesktopSession third(data, nullptr);
  EXPECT_EQ(launchFailure(third), "");
}

TEST(DesktopSession, RefusesALockThatIsALinkAndADataPathThatIsNoDirectory) {
  TempDir temp;
  const std::string data = temp.mkdir("data");
  ::symlink((temp / "elsewhere").c_str(), (data + "/native.lock").c_str());
  DesktopSession linked(data, nullptr);
  EXPECT_EQ(launchFailure(linked), "Tamber is already running for this catalog");
  EXPECT_FALSE(exists(temp / "elsewhere"));
  EXPECT_FALSE(exists(data + "/agent.sock"));

  temp.write("file", "");
  DesktopSession blocked(temp / "file/data", nullptr);
  EXPECT_EQ(launchFailure(blocked), "Not a directory");
}

TEST(DesktopSession, QuitRevokesEveryGrantAndRemovesOnlyTheSocket) {
  TempDir temp;
  const std::string data = temp / "data";
  DesktopSession session(data, nullptr);
  session.open();
  const AgentGrant grant = session.grants().add({temp.mkdir("work")}, false, false, true);
  const std::string request =
      R"({"token":")" + grant.token + R"(","action":"stat","path":")" + grant.roots[0] + R"("})";
  EXPECT_NE(sendAgentRequest(data + "/agent.sock", request).find(R"("ok":true)"),
            std::string::npos);

  session.close();
  EXPECT_TRUE(session.grants().all().empty());
  EXPECT_THROW(session.grants().get(grant.token), BrokerFailure);
  EXPECT_FALSE(exists(data + "/agent.sock"));
  EXPECT_TRUE(exists(data + "/native.lock"));
  session.close();  // a second quit changes nothing
}

}  // namespace
}  // namespace tamber::desktop
