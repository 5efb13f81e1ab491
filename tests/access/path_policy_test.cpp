#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "access/path_policy.h"
#include "support/waiting.h"

namespace tamber {
namespace {

constexpr const char* kAllowed = "";
constexpr const char* kWholeTree = "Select specific data folders, not a whole system tree";
constexpr const char* kScope = "Protected system scope cannot be delegated";
constexpr const char* kBare = "Choose specific data folders";
constexpr const char* kSystemPath = "Protected system path cannot be delegated";
constexpr const char* kCredential = "Credential and agent-private paths cannot be delegated";

// Paths that meet the same outcome; kAllowed when they pass.
struct Expectation {
  std::string outcome;
  std::vector<std::string> paths;
};

// The guard's refusal of `path`, or kAllowed.
template <typename Guard>
std::string outcome(Guard guard, const std::string& path) {
  return testing::failureOf([&] { guard(path); });
}

// Every path of each expectation meets its outcome under `guard`.
template <typename Guard>
void expectOutcomes(Guard guard, const std::vector<Expectation>& expectations) {
  for (const auto& [expected, paths] : expectations) {
    for (const std::string& path : paths) {
      EXPECT_EQ(outcome(guard, path), expected) << path;
    }
  }
}

TEST(PathPolicy, AccessPathDropsOnlyTheHomeDataVolumeAlias) {
  EXPECT_EQ(accessPath("/System/Volumes/Data/Users"), "/Users");
  EXPECT_EQ(accessPath("/System/Volumes/Data/Users/example/file"), "/Users/example/file");
  EXPECT_EQ(accessPath("/System/Volumes/Data"), "/System/Volumes/Data");
  EXPECT_EQ(accessPath("/System/Volumes/Data/UsersX"), "/System/Volumes/Data/UsersX");
}

// Each table's rule with a few of its entries, and the names next to them that pass (the
// scope tables are case-sensitive).
TEST(PathPolicy, RootScopeRefusesTreesScopesAndBareFolders) {
  expectOutcomes(
      guardRootScope,
      {{kWholeTree, {"/", "/Users", "/System/Volumes/Data", "/home", "/tmp", "/run/media"}},
       {kScope,
        {"/System/Library", "/private/etc/hosts", "/etc/ssl", "/usr/local", "/proc/1", "/root/work",
         "/var/lib/docker", "/lib64/x"}},
       {kBare, {"/Volumes", "/etc", "/usr", "/lib32"}},
       {kAllowed,
        {"/Users/u", "/Volumes/Backup", "/home/u/Work", "/tmp/x", "/run/media/u/USB", "/var/tmp/x",
         "/usrx", "/users"}}});
}

TEST(PathPolicy, ProtectedRootsMatchAnyCaseAtTheStartOnly) {
  expectOutcomes(
      guardProtected,
      {{kSystemPath,
        {"/System", "/SYSTEM/Library", "/ETC/passwd", "/private/var/root", "/dev/null",
         "/proc/self/environ", "/root/.bashrc", "/var/lib/x", "/snap/bin",
         "/System/Volumes/Data/Library/x"}},
       {kAllowed, {"/Systems", "/private/var/folders/x", "/home/u/usr/bin", "/var/library"}}});
}

TEST(PathPolicy, CredentialNamesMatchWholeComponentsAtAnyDepth) {
  expectOutcomes(
      guardProtected,
      {{kCredential,
        {"/Users/u/.ssh", "/System/Volumes/Data/Users/u/.ssh/config", "/Users/example/.SSH/id",
         "/Users/u/Library/Keychains", "/Users/u/Chrome/Login Data",
         "/Users/u/project/.env.production", "/Users/u/project/.ENV.local",
         "/Users/u/repo/.git/config", "/home/u/.local/share/keyrings/login.keyring",
         "/home/u/.git-credentials", "//home//u//.ssh//", "relative/.ssh"}},
       {kAllowed,
        {"/Users/u/project/env.txt", "/Users/u/repo/.github/workflow.yml", "/Users/u/my.ssh",
         "/Users/u/.sshx", "/Users/u/.environment", "/Users/u/secrets.txt", "/home/u/Work"}}});
}

TEST(PathPolicy, UnicodeCaseAndCanonicalEquivalence) {
  // Full Unicode lower-casing: KELVIN SIGN lower-cases to "k", LATIN CAPITAL I WITH DOT to
  // "i" plus a combining dot (so it does not become a plain "i").
  EXPECT_EQ(outcome(guardProtected, "/home/u/\u212Aeychains"), kCredential);
  EXPECT_EQ(outcome(guardProtected, "/home/u/.G\u0130T"), kAllowed);
  // Fullwidth letters are different characters, not a spelling of ".ssh".
  EXPECT_EQ(outcome(guardProtected, "/home/u/.\uFF53sh"), kAllowed);
  // Ill-formed bytes never crash the policy and never hide a credential component.
  EXPECT_EQ(outcome(guardProtected, std::string("/home/u/\xff\xfe/.ssh")), kCredential);
  EXPECT_EQ(outcome(guardProtected, std::string("/home/u/\xff\xfe")), kAllowed);
  EXPECT_EQ(outcome(guardRootScope, std::string("/\xff")), kAllowed);
}

}  // namespace
}  // namespace tamber
