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

TEST(PathPolicy, AccessPathDropsOnlyTheHomeDataVolumeAlias) {
  EXPECT_EQ(accessPath("/System/Volumes/Data/Users"), "/Users");
  EXPECT_EQ(accessPath("/System/Volumes/Data/Users/example/file"), "/Users/example/file");
  EXPECT_EQ(accessPath("/System/Volumes/Data"), "/System/Volumes/Data");
  EXPECT_EQ(accessPath("/System/Volumes/Data/UsersX"), "/System/Volumes/Data/UsersX");
  EXPECT_EQ(accessPath("/System/Volumes/Data/Applications"), "/System/Volumes/Data/Applications");
  EXPECT_EQ(accessPath(accessPath("/System/Volumes/Data/Users/u")), "/Users/u");
}

TEST(PathPolicy, RootScopeRefusesTreesScopesAndBareFolders) {
  const std::vector<Expectation> expectations = {
      {kWholeTree,
       {"/", "/Users", "/System", "/Library", "/private", "/Applications", "/System/Volumes/Data",
        "/home", "/var", "/opt", "/srv", "/mnt", "/media", "/tmp", "/run", "/run/media"}},
      {kScope,
       {"/System/Library", "/Library/Caches", "/private/etc/hosts", "/etc/ssl", "/private/var/db/x",
        "/usr/local", "/bin/x", "/sbin/x", "/proc/1", "/sys/kernel", "/boot/grub", "/root/work",
        "/var/lib/docker", "/lib/modules", "/lib64/x"}},
      {kBare, {"/Volumes", "/etc", "/usr", "/bin", "/sbin", "/lib", "/lib64", "/lib32"}},
      {kAllowed,
       {"/Users/u", "/Users/u/Library/Caches", "/Volumes/Backup", "/home/u/Work", "/tmp/x",
        "/mnt/disk/photos", "/run/media/u/USB", "/var/tmp/x", "/usrx",
        "/users"}},  // the scope tables are case-sensitive
  };
  for (const auto& [expected, paths] : expectations) {
    for (const std::string& path : paths) {
      EXPECT_EQ(outcome(guardRootScope, path), expected) << path;
    }
  }
}

TEST(PathPolicy, ProtectedRootsMatchAnyCaseAtTheStartOnly) {
  const std::vector<Expectation> expectations = {
      {kSystemPath,
       {"/System",
        "/SYSTEM/Library",
        "/library/x",
        "/Applications/App",
        "/usr/bin",
        "/bin",
        "/sbin/x",
        "/ETC/passwd",
        "/private/etc",
        "/private/var/db/example",
        "/private/var/root",
        "/dev/null",
        "/Network/x",
        "/proc/self/environ",
        "/sys",
        "/boot/vmlinuz",
        "/root/.bashrc",
        "/var/lib/x",
        "/snap/bin",
        "/System/Volumes/Data/Library/x"}},
      {kAllowed, {"/Systems", "/private/var/folders/x", "/home/u/usr/bin", "/var/library"}},
  };
  for (const auto& [expected, paths] : expectations) {
    for (const std::string& path : paths) {
      EXPECT_EQ(outcome(guardProtected, path), expected) << path;
    }
  }
}

TEST(PathPolicy, CredentialNamesMatchWholeComponentsAtAnyDepth) {
  const std::vector<Expectation> expectations = {
      {kCredential,
       {"/Users/u/.ssh",
        "/System/Volumes/Data/Users/u/.ssh/config",
        "/Users/example/.SSH/id",
        "/Users/u/.aws/config",
        "/Users/u/.gnupg",
        "/Users/u/.cloudflare-secrets/x",
        "/Users/u/Library/Keychains",
        "/Users/u/a/Cookies/b",
        "/Users/u/Chrome/Login Data",
        "/Users/u/project/.env",
        "/Users/u/project/.env.production",
        "/Users/u/project/.ENV.local",
        "/Users/u/repo/.git/config",
        "/Users/u/Credentials",
        "/Users/u/app/tokens.json",
        "/Users/u/secrets/a",
        "/Users/u/.pellam",
        "/Users/u/.pellam/workstation-control",
        "/home/u/.local/share/keyrings/login.keyring",
        "/home/u/.kube/config",
        "/home/u/.docker/config.json",
        "/home/u/.netrc",
        "/home/u/.password-store/x.gpg",
        "/home/u/.pgpass",
        "/home/u/.git-credentials",
        "//home//u//.ssh//",
        "relative/.ssh"}},
      {kAllowed,
       {"/Users/u/project/env.txt", "/Users/u/repo/.github/workflow.yml", "/Users/u/my.ssh",
        "/Users/u/.sshx", "/Users/u/.environment", "/Users/u/secrets.txt", "/home/u/Work"}},
  };
  for (const auto& [expected, paths] : expectations) {
    for (const std::string& path : paths) {
      EXPECT_EQ(outcome(guardProtected, path), expected) << path;
    }
  }
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
