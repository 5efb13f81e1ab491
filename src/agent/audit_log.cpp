#include "agent/audit_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "base/time.h"
#include "platform/unique_fd.h"

namespace tamber {

Json auditRecord(const Json& request, bool elevated, const Json& reply, WallClock::time_point at) {
  // Member by member: a braced list would build a temporary array for every pair, and this
  // runs for every request the broker answers.
  Json record = Json::object();
  record["action"] = stringMember(request, "action").value_or("");
  record["at"] = epochSeconds(at);
  record["destination"] = stringMember(request, "destination").value_or("");
  record["elevated"] = elevated;
  record["ok"] = isSuccessReply(reply);
  record["path"] = stringMember(request, "path").value_or("");
  return record;
}

AuditLog::AuditLog(std::string dataDirectory)
    : path_(std::move(dataDirectory) + "/" + kAuditLogName) {
  open(/*create=*/false);
}

// O_NOFOLLOW: a symbolic link planted at the log's name must not redirect the broker's writes.
// O_NONBLOCK: a FIFO planted there must not hang the broker in open().
void AuditLog::open(bool create) {
  constexpr int kFlags = O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  log_.reset(::open(path_.c_str(), kFlags));
  if (!log_ && errno == ENOENT && create) {
    log_.reset(::open(path_.c_str(), kFlags | O_CREAT | O_EXCL, 0600));
    if (log_) {
      // The creation mode passes through the umask; the log must be 0600 exactly.
      ::fchmod(log_.get(), 0600);
    }
  }
  struct stat status {};
  if (!log_ || ::fstat(log_.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
    log_.reset();
    return;
  }
  identity_ = identityOf(status);
}

void AuditLog::append(const Json& request, bool elevated, const Json& reply) noexcept {
  try {
    std::string line = jsonData(auditRecord(request, elevated, reply, WallClock::now()));
    line.push_back('\n');
    // One look at the name per record: a log deleted, rotated or swapped since it was opened
    // no longer has the open file's device and inode (or is gone), and the name wins.
    struct stat named {};
    if (!log_ || ::fstatat(AT_FDCWD, path_.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 ||
        identityOf(named) != identity_) {
      open(/*create=*/true);
    }
    if (!log_) {
      return;
    }
    // One write of the whole line: with O_APPEND the kernel places it at the end in one piece.
    [[maybe_unused]] const ssize_t written = ::write(log_.get(), line.data(), line.size());
  } catch (...) {
    // Logging never changes the agent's reply, not even when memory runs out.
  }
}

}  // namespace tamber
