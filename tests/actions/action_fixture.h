#pragma once

#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <map>
#include <string>

#include <gtest/gtest.h>

#include "access/grant.h"
#include "actions/executor.h"
#include "base/failure.h"
#include "platform/unique_fd.h"
#include "support/temp_dir.h"

namespace tamber::testing {

// A granted folder "granted" and a sibling "outside" that no grant covers.
struct Workspace {
  TempDir dir;
  std::string root = dir.mkdir("granted");
  std::string outside = dir.mkdir("outside");
  GrantStore store;
  AgentGrant grant = store.add({root}, /*edit=*/true, /*elevated=*/false, /*ack=*/true);

  std::string operator/(const std::string& relative) const { return root + "/" + relative; }
  Json run(const Json& request) const { return performFileAction(request, grant); }
  // The failure's sentence for `request`, or "" when it succeeds.
  std::string refusal(const Json& request) const;
};

// The failure's sentence, or "" when `action` succeeded.
inline std::string failureOf(const std::function<void()>& action) {
  try {
    action();
    return "";
  } catch (const BrokerFailure& failure) {
    return failure.description();
  }
}

inline std::string Workspace::refusal(const Json& request) const {
  return failureOf([&] { run(request); });
}

// {"action": action, "path": path} plus `extra`'s fields.
inline Json ask(const std::string& action, const std::string& path,
                const Json& extra = Json::object()) {
  Json request = {{"action", action}, {"path", path}};
  request.update(extra);
  return request;
}

inline std::string errorText(int error) {
  return errnoFailure(error).description();
}

inline std::string decodeBase64(const std::string& text) {
  std::string bytes(text.size() / 4 * 3, '\0');
  const int length = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(bytes.data()),
                                     reinterpret_cast<const unsigned char*>(text.data()),
                                     static_cast<int>(text.size()));
  bytes.resize(length < 0 ? 0 : static_cast<size_t>(length));
  for (size_t i = text.size(); i > 0 && text[i - 1] == '='; --i) {
    bytes.pop_back();  // EVP_DecodeBlock counts padding as zero bytes
  }
  return bytes;
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

inline bool exists(const std::string& path) {
  struct stat status {};
  return ::lstat(path.c_str(), &status) == 0;
}

}  // namespace tamber::testing
