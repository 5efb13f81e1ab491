#include "agent/audit_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <string_view>

#include "base/text.h"
#include "base/time.h"
#include "platform/unique_fd.h"

namespace tamber {

namespace {

// `key` (its quotes and colon included), then `value` as a JSON string. Ill-formed UTF-8
// becomes U+FFFD, so the line stays JSON that any reader accepts.
void appendMember(std::string& out, const char* key, std::string_view value) {
  out += key;
  if (isAscii(value)) {
    appendJsonString(out, value);
  } else {
    appendJsonString(out, validUtf8(value));
  }
}

// `at` as seconds since 1970 in plain decimal notation: the clock's own count of nanoseconds,
// exactly, without trailing zeros but with at least one fractional digit (1700000000.0,
// 1700000000.25). Integer arithmetic only: a floating-point formatter would first round the
// time to a double, and its tables would be read on every record.
void appendEpochSeconds(std::string& out, WallClock::time_point at) {
  constexpr std::uint64_t kPerSecond = 1'000'000'000;
  const std::int64_t since =
      std::chrono::duration_cast<std::chrono::nanoseconds>(at.time_since_epoch()).count();
  const std::uint64_t magnitude =
      since < 0 ? 0 - static_cast<std::uint64_t>(since) : static_cast<std::uint64_t>(since);
  if (since < 0) {
    out.push_back('-');
  }
  char digits[24];
  out.append(digits, std::to_chars(digits, digits + sizeof digits, magnitude / kPerSecond).ptr);
  out.push_back('.');
  std::uint64_t fraction = magnitude % kPerSecond;
  int width = 9;
  for (; width > 1 && fraction % 10 == 0; --width) {
    fraction /= 10;
  }
  for (int i = width - 1; i >= 0; --i) {
    digits[i] = static_cast<char>('0' + fraction % 10);
    fraction /= 10;
  }
  out.append(digits, static_cast<size_t>(width));
}

}  // namespace

// Written directly rather than built as a JSON value and serialised: this runs for every
// request the broker answers, and the record's shape never varies.
std::string auditLine(RequestView request, bool elevated, bool ok, WallClock::time_point at) {
  std::string line;
  line.reserve(160);
  appendMember(line, "{\"action\":", request.string("action").value_or(""));
  line += ",\"at\":";
  appendEpochSeconds(line, at);
  appendMember(line, ",\"destination\":", request.string("destination").value_or(""));
  line += elevated ? ",\"elevated\":true" : ",\"elevated\":false";
  line += ok ? ",\"ok\":true" : ",\"ok\":false";
  appendMember(line, ",\"path\":", request.string("path").value_or(""));
  line.push_back('}');
  return line;
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

void AuditLog::append(RequestView request, bool elevated, bool ok) noexcept {
  try {
    std::string line = auditLine(request, elevated, ok, WallClock::now());
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
