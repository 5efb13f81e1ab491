#include "desktop/desktop_session.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "agent/agent_client.h"
#include "base/failure.h"
#include "base/private_directory.h"
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

TEST(DesktopSession, TightensAnOpenDataDirectoryAndRefusesALinkedLockOrAFileInThePath) {
  TempDir temp;
  const std::string data = temp.mkdir("data");
  ::chmod(data.c_str(), 0755);
  DesktopSession open(data, nullptr);
  open.open();
  EXPECT_EQ(permissions(data), 0700u);
  open.close();
  // Named through a link, the directory is not taken (nor changed).
  ::chmod(data.c_str(), 0755);
  ASSERT_EQ(::symlink(data.c_str(), (temp / "data-link").c_str()), 0);
  DesktopSession throughLink(temp / "data-link", nullptr);
  EXPECT_EQ(launchFailure(throughLink), kDataDirectoryIsALink);
  EXPECT_EQ(permissions(data), 0755u);

  // A second copy stopping at the lock is the window's own test; a link in the lock's place is
  // no lock to take.
  const std::string linked = temp.mkdir("linked");
  ASSERT_EQ(::symlink((temp / "elsewhere").c_str(), (linked + "/native.lock").c_str()), 0);
  DesktopSession onLink(linked, nullptr);
  EXPECT_EQ(launchFailure(onLink), "Tamber is already running for this catalog");
  EXPECT_FALSE(exists(temp / "elsewhere"));
  EXPECT_FALSE(exists(linked + "/agent.sock"));

  temp.write("file", "");
  DesktopSession blocked(temp / "file/data", nullptr);
  EXPECT_EQ(launchFailure(blocked), "Not a directory");
}

TEST(DesktopSession, CreatesItsDataPrivatelyAndQuitRevokesEveryGrantAndRemovesOnlyTheSocket) {
  TempDir temp;
  const std::string data = temp / "deep/er/data";
  DesktopSession session(data, nullptr);
  session.open();
  EXPECT_EQ(permissions(data), 0700u);
  EXPECT_EQ(permissions(data + "/native.lock"), 0600u);
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
