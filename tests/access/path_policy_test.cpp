#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "access/path_policy.h"
#include "base/failure.h"

namespace tamber {
namespace {

constexpr const char* kAllowed = "";
constexpr const char* kWholeTree = "Select specific data folders, not a whole system tree";
constexpr const char* kScope = "Protected system scope cannot be delegated";
constexpr const char* kBare = "Choose specific data folders";
constexpr const char* kSystemPath = "Protected system path cannot be delegated";
constexpr const char* kCredential = "Credential and agent-private paths cannot be delegated";

struct Case {
  std::string path;
  std::string expected;  // empty: allowed
};

template <typename Guard>
std::string outcome(Guard guard, const std::string& path) {
  try {
    guard(path);
    return kAllowed;
  } catch (const BrokerFailure& failure) {
    return failure.description();
  }
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
  const std::vector<Case> cases = {
      {"/", kWholeTree},
      {"/Users", kWholeTree},
      {"/System", kWholeTree},
      {"/Library", kWholeTree},
      {"/private", kWholeTree},
      {"/Applications", kWholeTree},
      {"/System/Volumes/Data", kWholeTree},  // broad root wins over the "/System/" prefix
      {"/home", kWholeTree},
      {"/var", kWholeTree},
      {"/opt", kWholeTree},
      {"/srv", kWholeTree},
      {"/mnt", kWholeTree},
      {"/media", kWholeTree},
      {"/tmp", kWholeTree},
      {"/run", kWholeTree},
      {"/run/media", kWholeTree},
      {"/System/Library", kScope},
      {"/Library/Caches", kScope},
      {"/private/etc/hosts", kScope},
      {"/etc/ssl", kScope},
      {"/private/var/db/x", kScope},
      {"/usr/local", kScope},
      {"/bin/x", kScope},
      {"/sbin/x", kScope},
      {"/proc/1", kScope},
      {"/sys/kernel", kScope},
      {"/boot/grub", kScope},
      {"/root/work", kScope},
      {"/var/lib/docker", kScope},
      {"/lib/modules", kScope},
      {"/lib64/x", kScope},
      {"/Volumes", kBare},
      {"/etc", kBare},
      {"/usr", kBare},
      {"/bin", kBare},
      {"/sbin", kBare},
      {"/lib", kBare},
      {"/lib64", kBare},
      {"/lib32", kBare},
      {"/Users/u", kAllowed},
      {"/Users/u/Library/Caches", kAllowed},
      {"/Volumes/Backup", kAllowed},
      {"/home/u/Work", kAllowed},
      {"/tmp/x", kAllowed},
      {"/mnt/disk/photos", kAllowed},
      {"/run/media/u/USB", kAllowed},
      {"/var/tmp/x", kAllowed},
      {"/usrx", kAllowed},
      {"/users", kAllowed},  // the scope tables are case-sensitive
  };
  for (const Case& c : cases) {
    EXPECT_EQ(outcome(guardRootScope, c.path), c.expected) << c.path;
  }
}

TEST(PathPolicy, ProtectedRootsMatchAnyCaseAtTheStartOnly) {
  const std::vector<Case> cases = {
      {"/System", kSystemPath},
      {"/SYSTEM/Library", kSystemPath},
      {"/library/x", kSystemPath},
      {"/Applications/App", kSystemPath},
      {"/usr/bin", kSystemPath},
      {"/bin", kSystemPath},
      {"/sbin/x", kSystemPath},
      {"/ETC/passwd", kSystemPath},
      {"/private/etc", kSystemPath},
      {"/private/var/db/example", kSystemPath},
      {"/private/var/root", kSystemPath},
      {"/dev/null", kSystemPath},
      {"/Network/x", kSystemPath},
      {"/proc/self/environ", kSystemPath},
      {"/sys", kSystemPath},
      {"/boot/vmlinuz", kSystemPath},
      {"/root/.bashrc", kSystemPath},
      {"/var/lib/x", kSystemPath},
      {"/snap/bin", kSystemPath},
      {"/System/Volumes/Data/Library/x", kSystemPath},  // only the home alias is dropped
      {"/Systems", kAllowed},
      {"/private/var/folders/x", kAllowed},
      {"/home/u/usr/bin", kAllowed},
      {"/var/library", kAllowed},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(outcome(guardProtected, c.path), c.expected) << c.path;
  }
}

TEST(PathPolicy, CredentialNamesMatchWholeComponentsAtAnyDepth) {
  const std::vector<Case> cases = {
      {"/Users/u/.ssh", kCredential},
      {"/System/Volumes/Data/Users/u/.ssh/config", kCredential},
      {"/Users/example/.SSH/id", kCredential},
      {"/Users/u/.aws/config", kCredential},
      {"/Users/u/.gnupg", kCredential},
      {"/Users/u/.cloudflare-secrets/x", kCredential},
      {"/Users/u/Library/Keychains", kCredential},
      {"/Users/u/a/Cookies/b", kCredential},
      {"/Users/u/Chrome/Login Data", kCredential},
      {"/Users/u/project/.env", kCredential},
      {"/Users/u/project/.env.production", kCredential},
      {"/Users/u/project/.ENV.local", kCredential},
      {"/Users/u/repo/.git/config", kCredential},
      {"/Users/u/Credentials", kCredential},
      {"/Users/u/app/tokens.json", kCredential},
      {"/Users/u/secrets/a", kCredential},
      {"/Users/u/.pellam", kCredential},
      {"/Users/u/.pellam/workstation-control", kCredential},
      {"/home/u/.local/share/keyrings/login.keyring", kCredential},
      {"/home/u/.kube/config", kCredential},
      {"/home/u/.docker/config.json", kCredential},
      {"/home/u/.netrc", kCredential},
      {"/home/u/.password-store/x.gpg", kCredential},
      {"/home/u/.pgpass", kCredential},
      {"/home/u/.git-credentials", kCredential},
      {"//home//u//.ssh//", kCredential},
      {"relative/.ssh", kCredential},
      {"/Users/u/project/env.txt", kAllowed},
      {"/Users/u/repo/.github/workflow.yml", kAllowed},
      {"/Users/u/my.ssh", kAllowed},
      {"/Users/u/.sshx", kAllowed},
      {"/Users/u/.environment", kAllowed},
      {"/Users/u/secrets.txt", kAllowed},
      {"/home/u/Work", kAllowed},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(outcome(guardProtected, c.path), c.expected) << c.path;
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
