#pragma once

#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "base/time.h"

namespace tamber {

// A folder's identity: device and inode as captured with lstat when the grant was made.
struct FolderIdentity {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;

  bool operator==(const FolderIdentity&) const = default;
};

// The one conversion of a status record into an identity, used wherever identities are
// captured or compared, so both sides widen the device number the same way.
FolderIdentity identityOf(const struct stat& status);

// The user's decision that an agent may work inside 1 to 8 folders until `expires`.
// A plain value: every holder has its own copy.
struct AgentGrant {
  std::string token;               // 72 characters: two upper-case UUIDs back to back
  std::vector<std::string> roots;  // canonical absolute paths, in the order given
  bool edit = false;
  bool elevated = false;
  WallClock::time_point expires;
  std::map<std::string, FolderIdentity> identities;  // keyed by root
  std::string id{};  // a random UUID of its own, never the token: what the activity journal names
  WallClock::time_point created{};
};

inline constexpr int kDefaultGrantMinutes = 30;

// Returns the canonical form of one picked folder: the data-volume alias dropped, every
// symbolic link resolved (realpath), "." and ".." and doubled slashes gone. Throws a
// BrokerFailure when the path policy refuses it or it is not an existing directory.
std::string canonicalRoot(const std::string& path);

// The in-memory table of one process's grants, keyed by token. Thread-safe: every method may
// be called from any thread; grants go in and come out as copies.
class GrantStore {
 public:
  using Clock = std::function<WallClock::time_point()>;

  // `now` supplies the current time; tests pass a fixed clock.
  explicit GrantStore(Clock now = [] { return WallClock::now(); });

  // Validates and stores a new grant and returns a copy of it. Checks, first failure wins:
  // acknowledgement, 1..8 roots, each root's canonical form and policy, each root's
  // identity. `minutes` is clamped to 1..60. The store is unchanged after a failure.
  AgentGrant add(const std::vector<std::string>& roots, bool edit, bool elevated, bool ack,
                 int minutes = kDefaultGrantMinutes);

  // The unexpired grant stored under `token`, shared and never changed (it outlives a
  // revocation that comes while a request holds it); throws "Missing, revoked or expired
  // access grant" otherwise. Expired grants stay stored until revokeAll.
  std::shared_ptr<const AgentGrant> get(std::string_view token) const;

  // Copies of every unexpired grant, earliest expiry first.
  std::vector<AgentGrant> all() const;

  // Forgets every grant. Grants already handed out are unaffected; their tokens stop working.
  // Tells the revocation listener which grants ended, after the lock is released.
  void revokeAll();

  // Called by revokeAll with the grants it removed (expired ones included), on the thread
  // that revoked them. One listener at a time; an empty function removes it. The listener
  // must not call back into the store.
  using RevocationListener =
      std::function<void(const std::vector<std::shared_ptr<const AgentGrant>>& revoked)>;
  void setRevocationListener(RevocationListener listener);

 private:
  Clock now_;
  mutable std::mutex lock_;
  RevocationListener revoked_;  // guarded by lock_; called outside it
  std::map<std::string, std::shared_ptr<const AgentGrant>, std::less<>> records_;
};

}  // namespace tamber
