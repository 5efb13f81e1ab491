#include "activity/entry_check.h"

#include <fcntl.h>

#include <cerrno>
#include <chrono>

#include "actions/digest.h"
#include "base/failure.h"

namespace tamber {
namespace {

constexpr const char* kIdentityChanged = "Selected folder identity changed; revoke and reselect it";

// Hashing a copy of up to 1 GiB takes seconds; nothing here should take minutes.
constexpr auto kDigestBudget = std::chrono::seconds(60);

}  // namespace

AgentGrant reachableGrant(const JournalGrant& grant) {
  AgentGrant reachable;
  reachable.id = grant.id;
  reachable.roots = grant.folders;
  reachable.identities = grant.identities;
  reachable.edit = grant.edit;
  reachable.elevated = grant.elevated;
  reachable.expires = WallClock::time_point::max();
  return reachable;
}

ReachedEntry reachEntry(const std::string& path, const JournalGrant& journalGrant,
                        const AgentGrant& grant) {
  ReachedEntry entry;
  entry.shown = pathInGrant(journalGrant, path);
  try {
    entry.checked = checkPath(path, grant);
  } catch (const BrokerFailure& failure) {
    // The policy holds after the grant has ended, as it held for every request.
    throw Failure(entry.shown + " is out of reach (" + failure.description() + ")");
  }
  entry.shown = pathInGrant(journalGrant, entry.checked.path);
  try {
    entry.resolved = openParent(entry.checked, grant);
  } catch (const BrokerFailure& failure) {
    if (failure.description() == kIdentityChanged) {
      throw Failure("The granted folder " + entry.checked.root +
                    " was replaced or moved since the agent's change");
    }
    throw Failure(entry.shown + " can no longer be reached from its granted folder (" +
                  failure.description() + ")");
  }
  if (entry.resolved.leaf == ".") {
    throw Failure(entry.shown + " is a granted folder itself");
  }
  return entry;
}

struct stat expectIdentity(int folder, const std::string& name, const FolderIdentity& identity,
                           const std::string& subject, const std::string& after) {
  struct stat status {};
  if (::fstatat(folder, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno == ENOENT) {
      throw Failure(subject + " is no longer there");
    }
    throw Failure(subject + " cannot be examined (" + errnoText(errno) + ")");
  }
  if (S_ISLNK(status.st_mode)) {
    throw Failure(subject + " is now a symbolic link, not what the agent left");
  }
  if (identityOf(status) != identity) {
    throw Failure(subject + " was replaced or moved after " + after);
  }
  return status;
}

UniqueFd expectContent(int folder, const std::string& name, const FolderIdentity& identity,
                       std::optional<std::uint64_t> size, const std::string& sha256,
                       const std::string& subject, const std::string& after) {
  expectIdentity(folder, name, identity, subject, after);
  UniqueFd file;
  try {
    file = regularFD(folder, name);
  } catch (const BrokerFailure&) {
    throw Failure(subject + " is no longer a single regular file");
  }
  struct stat status {};
  if (::fstat(file.get(), &status) != 0 || identityOf(status) != identity) {
    throw Failure(subject + " was replaced or moved after " + after);
  }
  if (size && static_cast<std::uint64_t>(status.st_size) != *size) {
    throw Failure(subject + " was changed after " + after);
  }
  std::string found;
  try {
    found = digest(file.get(), WallClock::now() + kDigestBudget);
  } catch (const BrokerFailure& failure) {
    throw Failure(subject + " cannot be read (" + failure.description() + ")");
  }
  if (sha256.empty() || found != sha256) {
    throw Failure(subject + " was changed after " + after);
  }
  return file;
}

std::string afterTheAgent(const std::string& action) {
  if (action == "replace") {
    return "the agent's edit";
  }
  if (action == "write_new") {
    return "the agent wrote it";
  }
  if (action == "copy") {
    return "the agent copied it";
  }
  if (action == "mkdir") {
    return "the agent made it";
  }
  return "the agent moved it";
}

std::string lastName(const std::string& path) {
  std::string trimmed = path;
  while (trimmed.size() > 1 && trimmed.back() == '/') {
    trimmed.pop_back();
  }
  const size_t slash = trimmed.rfind('/');
  return slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
}

}  // namespace tamber
