#include "agent/audit_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "agent/epoch_seconds.h"
#include "platform/unique_fd.h"

namespace tamber {
namespace {

std::string stringField(const Json& object, const char* key) {
  if (!object.is_object()) {
    return "";
  }
  auto found = object.find(key);
  return found != object.end() && found->is_string() ? found->get<std::string>() : "";
}

// Opens the log for appending, creating it 0600 when it is missing. O_NOFOLLOW: a symbolic
// link planted at the log's name must not redirect the broker's writes. O_NONBLOCK: a FIFO
// planted there must not hang the broker in open().
UniqueFd openLog(const std::string& path) {
  constexpr int kFlags = O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  UniqueFd log(::open(path.c_str(), kFlags));
  if (!log && errno == ENOENT) {
    log.reset(::open(path.c_str(), kFlags | O_CREAT | O_EXCL, 0600));
    if (log) {
      // The creation mode passes through the umask; the log must be 0600 exactly.
      ::fchmod(log.get(), 0600);
    }
  }
  struct stat status {};
  if (!log || ::fstat(log.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
    return UniqueFd();
  }
  return log;
}

}  // namespace

Json auditRecord(const Json& request, bool elevated, const Json& reply, WallClock::time_point at) {
  bool ok = false;
  if (reply.is_object()) {
    auto found = reply.find("ok");
    ok = found != reply.end() && found->is_boolean() && found->get<bool>();
  }
  return Json{{"action", stringField(request, "action")},
              {"at", epochSeconds(at)},
              {"destination", stringField(request, "destination")},
              {"elevated", elevated},
              {"ok", ok},
              {"path", stringField(request, "path")}};
}

void appendAuditRecord(const std::string& dataDirectory, const Json& request, bool elevated,
                       const Json& reply) noexcept {
  try {
    const std::string line =
        jsonData(auditRecord(request, elevated, reply, WallClock::now())) + "\n";
    UniqueFd log = openLog(dataDirectory + "/" + kAuditLogName);
    if (!log) {
      return;
    }
    // One write of the whole line: with O_APPEND the kernel places it at the end in one piece.
    [[maybe_unused]] const ssize_t written = ::write(log.get(), line.data(), line.size());
  } catch (...) {
    // Logging never changes the agent's reply, not even when memory runs out.
  }
}

}  // namespace tamber
