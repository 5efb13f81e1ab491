#include "access/grant.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <memory>

#include "access/path_policy.h"
#include "base/failure.h"
#include "base/path.h"
#include "base/random_uuid.h"
#include "base/text.h"

namespace tamber {
namespace {

constexpr const char* kUnavailable = "Selected folder is unavailable";

}  // namespace

FolderIdentity identityOf(const struct stat& status) {
  return FolderIdentity{static_cast<std::uint64_t>(status.st_dev),
                        static_cast<std::uint64_t>(status.st_ino)};
}

std::string canonicalRoot(const std::string& path) {
  // An empty name would resolve to the current directory, a name with NUL would be cut short
  // by the kernel, and a name that is not UTF-8 cannot travel in a reply or helper request:
  // none of them is a folder the user meant to pick.
  if (path.empty() || path.find('\0') != std::string::npos || validUtf8(path) != path) {
    throw BrokerFailure(kUnavailable);
  }
  // Every link of the longest existing ancestor is resolved and the rest settled by name, so
  // a missing folder under a protected tree still meets the rule for that tree rather than
  // a plain "unavailable".
  const std::string canonical = resolvedPath(accessPath(path));
  require(!canonical.empty(), kUnavailable);
  guardRootScope(canonical);
  guardProtected(canonical);
  struct stat status {};
  require(::stat(canonical.c_str(), &status) == 0 && S_ISDIR(status.st_mode), kUnavailable);
  return canonical;
}

GrantStore::GrantStore(Clock now) : now_(std::move(now)) {}

AgentGrant GrantStore::add(const std::vector<std::string>& roots, bool edit, bool elevated,
                           bool ack, int minutes) {
  require(ack, "Risk acknowledgment is required");
  require(!roots.empty() && roots.size() <= 8, "Select one to eight specific folders");

  AgentGrant grant;
  for (const std::string& root : roots) {
    grant.roots.push_back(canonicalRoot(root));
  }
  std::string token = randomUuid() + randomUuid();
  grant.token = std::move(token);
  grant.id = randomUuid();
  grant.edit = edit;
  grant.elevated = elevated;
  grant.created = now_();
  grant.expires = grant.created + std::chrono::minutes(std::clamp(minutes, 1, 60));
  for (const std::string& root : grant.roots) {
    struct stat status {};
    require(::lstat(root.c_str(), &status) == 0, kUnavailable);
    grant.identities[root] = identityOf(status);
  }

  std::lock_guard guard(lock_);
  records_[grant.token] = std::make_shared<const AgentGrant>(grant);
  return grant;
}

std::shared_ptr<const AgentGrant> GrantStore::get(std::string_view token) const {
  std::lock_guard guard(lock_);
  auto found = records_.find(token);
  if (found == records_.end() || !(found->second->expires > now_())) {
    throw BrokerFailure("Missing, revoked or expired access grant");
  }
  return found->second;
}

std::vector<AgentGrant> GrantStore::all() const {
  std::vector<AgentGrant> active;
  {
    std::lock_guard guard(lock_);
    for (const auto& [token, grant] : records_) {
      if (grant->expires > now_()) {
        active.push_back(*grant);
      }
    }
  }
  std::stable_sort(active.begin(), active.end(),
                   [](const AgentGrant& a, const AgentGrant& b) { return a.expires < b.expires; });
  return active;
}

void GrantStore::revokeAll() {
  std::vector<std::shared_ptr<const AgentGrant>> revoked;
  RevocationListener listener;
  {
    std::lock_guard guard(lock_);
    for (auto& [token, grant] : records_) {
      revoked.push_back(std::move(grant));
    }
    records_.clear();
    listener = revoked_;
  }
  if (listener && !revoked.empty()) {
    listener(revoked);
  }
}

void GrantStore::setRevocationListener(RevocationListener listener) {
  std::lock_guard guard(lock_);
  revoked_ = std::move(listener);
}

}  // namespace tamber
