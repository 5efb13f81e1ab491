#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <set>

#include <gtest/gtest.h>

#include "access/grant.h"
#include "support/temp_dir.h"
#include "support/waiting.h"

namespace tamber {
namespace {

using testing::failureOf;
using testing::TempDir;
using namespace std::chrono_literals;

TEST(GrantStore, AddChecksInOrderAndStoresNothingOnFailure) {
  TempDir dir;
  const std::string work = dir.mkdir("work");
  GrantStore store;
  const auto refusal = [&](const std::vector<std::string>& roots, bool ack = true) {
    return failureOf([&] { store.add(roots, false, false, ack); });
  };
  EXPECT_EQ(refusal({}, false), "Risk acknowledgment is required");
  EXPECT_EQ(refusal({}), "Select one to eight specific folders");
  // Nine entries are refused before any of them is examined.
  EXPECT_EQ(refusal(std::vector<std::string>(9, "/")), "Select one to eight specific folders");
  EXPECT_EQ(refusal({"/", dir / "missing"}),
            "Select specific data folders, not a whole system tree");
  EXPECT_EQ(refusal({work, "/etc/ssl"}), "Protected system scope cannot be delegated");
  EXPECT_TRUE(store.all().empty());

  const AgentGrant eight = store.add(std::vector<std::string>(8, work), true, false, true);
  EXPECT_EQ(eight.roots.size(), 8u);
  EXPECT_EQ(eight.identities.size(), 1u);  // the same folder twice: one identity entry
}

TEST(GrantStore, BadFoldersGetTheUnavailableSentence) {
  TempDir dir;
  const std::string file = dir.write("file.txt", "x");
  const std::string badName = dir.mkdir(std::string("bad\xff"));
  GrantStore store;
  for (const std::string& root :
       {file, dir / "missing", std::string(""), badName, dir.path() + std::string("/\0/x", 4)}) {
    EXPECT_EQ(failureOf([&] { store.add({root}, false, false, true); }),
              "Selected folder is unavailable")
        << root;
  }
  // A missing folder inside a protected tree still meets that tree's rule.
  EXPECT_EQ(failureOf([&] { store.add({"/etc/no-such-folder"}, false, false, true); }),
            "Protected system scope cannot be delegated");
  EXPECT_EQ(failureOf([&] { store.add({dir.mkdir("proj/.git")}, false, false, true); }),
            "Credential and agent-private paths cannot be delegated");
  EXPECT_TRUE(store.all().empty());
}

TEST(GrantStore, RootsAreCanonicalWithTheirIdentities) {
  TempDir dir;
  const std::string target = dir.mkdir("real/work");
  ASSERT_EQ(::symlink(target.c_str(), (dir / "link").c_str()), 0);
  GrantStore store;

  const AgentGrant grant =
      store.add({dir / "link", dir.path() + "//real/./work/../work/", target}, false, true, true);
  ASSERT_EQ(grant.roots, std::vector<std::string>({target, target, target}));
  struct stat status {};
  ASSERT_EQ(::lstat(target.c_str(), &status), 0);
  EXPECT_EQ(grant.identities.at(target), (FolderIdentity{status.st_dev, status.st_ino}));

  // A symbolic link as a later component of a picked path is resolved too.
  dir.mkdir("real/work/inner");
  EXPECT_EQ(store.add({dir / "link/inner"}, false, false, true).roots.front(), target + "/inner");

  // The home data-volume alias is dropped before resolution, so it is judged as "/Users".
  EXPECT_EQ(failureOf([&] { store.add({"/System/Volumes/Data/Users"}, false, false, true); }),
            "Select specific data folders, not a whole system tree");
  // A link that lands on a protected tree is judged by where it lands.
  ASSERT_EQ(::symlink("/etc", (dir / "etc-link").c_str()), 0);
  EXPECT_EQ(failureOf([&] { store.add({dir / "etc-link"}, false, false, true); }),
            "Choose specific data folders");
}

TEST(GrantStore, TokensAreTwoRandomUuidsAndNeverRepeat) {
  TempDir dir;
  GrantStore store;
  const std::regex uuid("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
  std::set<std::string> seen;
  for (int i = 0; i < 200; ++i) {
    const std::string token = store.add({dir.path()}, false, false, true).token;
    EXPECT_TRUE(std::regex_match(token.substr(0, 36), uuid) &&
                std::regex_match(token.substr(36), uuid))
        << token;
    EXPECT_TRUE(seen.insert(token).second);
  }
}

TEST(GrantStore, LifetimeIsClampedAndExpiryIsStrict) {
  TempDir dir;
  const auto start = WallClock::now();
  auto now = start;  // the store's clock, moved by hand
  GrantStore store([&now] { return now; });

  EXPECT_EQ(store.add({dir.path()}, false, false, true, 500).expires, start + 60min);
  const AgentGrant standard = store.add({dir.path()}, false, false, true);
  EXPECT_EQ(standard.expires, start + 30min);
  EXPECT_EQ(store.add({dir.path()}, false, false, true, 0).expires, start + 1min);
  std::vector<WallClock::time_point> listed;
  for (const AgentGrant& grant : store.all()) {
    listed.push_back(grant.expires);
  }
  EXPECT_EQ(listed, (std::vector{start + 1min, start + 30min, start + 60min}))
      << "earliest expiry first";

  now = start + 30min - 1ns;
  EXPECT_EQ(store.get(standard.token)->token, standard.token);
  now = start + 30min;  // equal to expires: already over
  EXPECT_EQ(failureOf([&] { store.get(standard.token); }),
            "Missing, revoked or expired access grant");
  ASSERT_EQ(store.all().size(), 1u);
  EXPECT_EQ(store.all().front().expires, start + 60min);
}

}  // namespace
}  // namespace tamber
