#include "access/path_policy.h"

#include <array>
#include <string_view>

#include "base/failure.h"
#include "base/text.h"

namespace tamber {
namespace {

using namespace std::string_view_literals;

constexpr std::string_view kDataVolume = "/System/Volumes/Data";
constexpr std::string_view kDataVolumeUsers = "/System/Volumes/Data/Users";

// Whole trees: granting any of them would hand an agent the machine, not a project.
constexpr std::array kBroadRoots = {
    "/"sv,
    "/Users"sv,
    "/System"sv,
    "/Library"sv,
    "/private"sv,
    "/Applications"sv,
    "/System/Volumes/Data"sv,
    // Linux
    "/home"sv,
    "/var"sv,
    "/opt"sv,
    "/srv"sv,
    "/mnt"sv,
    "/media"sv,
    "/tmp"sv,
    "/run"sv,
    "/run/media"sv,
};

constexpr std::array kProtectedScopePrefixes = {
    "/System/"sv,
    "/Library/"sv,
    "/private/etc/"sv,
    "/etc/"sv,
    "/private/var/db/"sv,
    "/usr/"sv,
    "/bin/"sv,
    "/sbin/"sv,
    // Linux
    "/proc/"sv,
    "/sys/"sv,
    "/boot/"sv,
    "/root/"sv,
    "/var/lib/"sv,
    "/lib/"sv,
    "/lib64/"sv,
};

constexpr std::array kBareSystemFolders = {
    "/Volumes"sv,
    "/etc"sv,
    "/usr"sv,
    "/bin"sv,
    "/sbin"sv,
    // Linux
    "/lib"sv,
    "/lib64"sv,
    "/lib32"sv,
};

// Lower-case; matched at the start of the lower-cased path.
constexpr std::array kProtectedRoots = {
    "/system"sv,
    "/library"sv,
    "/applications"sv,
    "/usr"sv,
    "/bin"sv,
    "/sbin"sv,
    "/etc"sv,
    "/private/etc"sv,
    "/private/var/db"sv,
    "/private/var/root"sv,
    "/dev"sv,
    "/network"sv,
    // Linux
    "/proc"sv,
    "/sys"sv,
    "/boot"sv,
    "/root"sv,
    "/var/lib"sv,
    "/snap"sv,
};

// Lower-case; matched against whole components anywhere in the lower-cased path.
constexpr std::array kCredentialNames = {
    ".ssh"sv,
    ".aws"sv,
    ".gnupg"sv,
    ".cloudflare-secrets"sv,
    "keychains"sv,
    "cookies"sv,
    "login data"sv,
    ".env"sv,
    ".git"sv,
    "credentials"sv,
    "tokens.json"sv,
    "secrets"sv,
    ".pellam"sv,
    // Linux
    "keyrings"sv,
    ".kube"sv,
    ".docker"sv,
    ".netrc"sv,
    ".password-store"sv,
    ".pgpass"sv,
    ".git-credentials"sv,
};

constexpr std::string_view kEnvPrefix = ".env.";

template <typename Table>
bool contains(const Table& table, std::string_view value) {
  for (std::string_view entry : table) {
    if (entry == value) {
      return true;
    }
  }
  return false;
}

}  // namespace

std::string_view accessPath(std::string_view path) {
  if (path == kDataVolumeUsers ||
      (path.starts_with(kDataVolumeUsers) && path.size() > kDataVolumeUsers.size() &&
       path[kDataVolumeUsers.size()] == '/')) {
    return path.substr(kDataVolume.size());
  }
  return path;
}

void guardRootScope(std::string_view canonicalPath) {
  // Canonically equivalent spellings must meet the same rule as the tables' own spelling.
  const std::string path = nfc(canonicalPath);
  require(!contains(kBroadRoots, path), "Select specific data folders, not a whole system tree");
  for (std::string_view prefix : kProtectedScopePrefixes) {
    require(!path.starts_with(prefix), "Protected system scope cannot be delegated");
  }
  require(!contains(kBareSystemFolders, path), "Choose specific data folders");
}

void guardProtected(std::string_view path) {
  const std::string lower = foldedLower(accessPath(path));
  for (std::string_view root : kProtectedRoots) {
    const bool atOrUnder =
        lower.starts_with(root) && (lower.size() == root.size() || lower[root.size()] == '/');
    require(!atOrUnder, "Protected system path cannot be delegated");
  }
  std::string_view rest = lower;
  while (!rest.empty()) {
    const size_t slash = rest.find('/');
    const std::string_view component = rest.substr(0, slash);
    rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
    if (component.empty()) {
      continue;
    }
    require(!contains(kCredentialNames, component) && !component.starts_with(kEnvPrefix),
            "Credential and agent-private paths cannot be delegated");
  }
}

}  // namespace tamber
