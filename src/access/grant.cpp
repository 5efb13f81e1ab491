#include "access/grant.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <memory>

#include "access/path_policy.h"
#include "base/failure.h"
#include "base/random_uuid.h"
#include "base/text.h"

namespace tamber {
namespace {

constexpr const char* kUnavailable = "Selected folder is unavailable";

std::vector<std::string> components(std::string_view path) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= path.size()) {
    size_t slash = path.find('/', start);
    if (slash == std::string_view::npos) {
      slash = path.size();
    }
    if (slash > start) {
      parts.emplace_back(path.substr(start, slash - start));
    }
    start = slash + 1;
  }
  return parts;
}

std::string realPath(const std::string& path) {
  std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr),
                                                       &std::free);
  return resolved ? std::string(resolved.get()) : std::string();
}

// Resolves every symbolic link of the longest existing ancestor of `path` and standardises
// the rest lexically, so that a missing folder under a protected tree still meets the policy
// rule for that tree rather than a plain "unavailable".
std::string resolvedPath(const std::string& path) {
  std::string absolute = path;
  if (!absolute.starts_with('/')) {
    char cwd[PATH_MAX];
    if (::getcwd(cwd, sizeof cwd) == nullptr) {
      throw BrokerFailure(kUnavailable);
    }
    absolute = std::string(cwd) + "/" + absolute;
  }
  const std::vector<std::string> parts = components(absolute);
  for (size_t keep = parts.size() + 1; keep-- > 0;) {
    std::string prefix;
    for (size_t i = 0; i < keep; ++i) {
      prefix += "/" + parts[i];
    }
    std::string base = realPath(prefix.empty() ? "/" : prefix);
    if (base.empty()) {
      continue;
    }
    std::vector<std::string> resolved = components(base);
    for (size_t i = keep; i < parts.size(); ++i) {
      if (parts[i] == "..") {
        if (!resolved.empty()) {
          resolved.pop_back();
        }
      } else if (parts[i] != ".") {
        resolved.push_back(parts[i]);
      }
    }
    std::string result;
    for (const std::string& part : resolved) {
      result += "/" + part;
    }
    return result.empty() ? "/" : result;
  }
  throw BrokerFailure(kUnavailable);
}

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
  const std::string canonical = resolvedPath(accessPath(path));
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
  grant.edit = edit;
  grant.elevated = elevated;
  grant.expires = now_() + std::chrono::minutes(std::clamp(minutes, 1, 60));
  for (const std::string& root : grant.roots) {
    struct stat status {};
    require(::lstat(root.c_str(), &status) == 0, kUnavailable);
    grant.identities[root] = identityOf(status);
  }

  std::lock_guard guard(lock_);
  records_[grant.token] = grant;
  return grant;
}

AgentGrant GrantStore::get(const std::string& token) const {
  std::lock_guard guard(lock_);
  auto found = records_.find(token);
  if (found == records_.end() || !(found->second.expires > now_())) {
    throw BrokerFailure("Missing, revoked or expired access grant");
  }
  return found->second;
}

std::vector<AgentGrant> GrantStore::all() const {
  std::vector<AgentGrant> active;
  {
    std::lock_guard guard(lock_);
    for (const auto& [token, grant] : records_) {
      if (grant.expires > now_()) {
        active.push_back(grant);
      }
    }
  }
  std::stable_sort(active.begin(), active.end(),
                   [](const AgentGrant& a, const AgentGrant& b) { return a.expires < b.expires; });
  return active;
}

void GrantStore::revokeAll() {
  std::lock_guard guard(lock_);
  records_.clear();
}

}  // namespace tamber
