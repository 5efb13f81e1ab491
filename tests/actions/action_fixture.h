#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <map>
#include <string>

#include <gtest/gtest.h>

#include "access/grant.h"
#include "actions/executor.h"
#include "base/base64.h"
#include "base/failure.h"
#include "platform/unique_fd.h"
#include "support/temp_dir.h"
#include "support/waiting.h"

namespace tamber::testing {

// A granted folder "granted" and a sibling "outside" that no grant covers.
struct Workspace {
  TempDir dir;
  std::string root = dir.mkdir("granted");
  std::string outside = dir.mkdir("outside");
  GrantStore store;
  AgentGrant grant = store.add({root}, /*edit=*/true, /*elevated=*/false, /*ack=*/true);

  std::string operator/(const std::string& relative) const { return root + "/" + relative; }
  Json run(const Json& request) const { return performFileAction(request, grant).json(); }
  // The failure's sentence for `request`, or "" when it succeeds.
  std::string refusal(const Json& request) const {
    return failureOf([&] { run(request); });
  }
};

// {"action": action, "path": path} plus `extra`'s fields.
inline Json ask(const std::string& action, const std::string& path,
                const Json& extra = Json::object()) {
  Json request = {{"action", action}, {"path", path}};
  request.update(extra);
  return request;
}

// The bytes of a reply's Base64, decoded as strictly as the broker decodes.
inline std::string decodeBase64(const std::string& text) {
  return strictBase64Decode(text).value_or("(not Base64)");
}

inline std::string errorText(int error) {
  return errnoFailure(error).description();
}

// Every entry below `path` (links not followed) with its type, inode, mode and content or
// link target: equal snapshots mean the tree is byte-for-byte and inode-for-inode unchanged.
inline std::map<std::string, std::string> snapshot(const std::string& path) {
  std::map<std::string, std::string> entries;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(path)) {
    struct stat status {};
    ::lstat(entry.path().c_str(), &status);
    std::string description = std::to_string(status.st_ino) + " " + std::to_string(status.st_mode) +
                              " " + std::to_string(status.st_nlink) + " ";
    if (S_ISREG(status.st_mode)) {
      description += readFile(entry.path());
    } else if (S_ISLNK(status.st_mode)) {
      description += std::filesystem::read_symlink(entry.path()).string();
    }
    entries[entry.path().string()] = description;
  }
  return entries;
}

inline ino_t inodeOf(const std::string& path) {
  struct stat status {};
  return ::lstat(path.c_str(), &status) == 0 ? status.st_ino : 0;
}

inline mode_t permissionsOf(const std::string& path) {
  struct stat status {};
  ::lstat(path.c_str(), &status);
  return status.st_mode & 07777;
}

inline bool exists(const std::string& path) {
  struct stat status {};
  return ::lstat(path.c_str(), &status) == 0;
}

}  // namespace tamber::testing
