#pragma once

#include <string>

#include "access/grant.h"
#include "base/reply.h"
#include "base/request_view.h"
#include "platform/unique_fd.h"

namespace tamber {

// The audit log's file name inside the data directory.
inline constexpr const char* kAuditLogName = "agent-audit.jsonl";

// The record of one answered request, as one line of JSON without its newline: exactly
// "action", "at", "destination", "elevated", "ok" and "path", in that order. Strings the
// request does not carry as strings become ""; `ok` says whether the reply was a success (its
// "ok" the Boolean true); `at` is written as fractional seconds since 1970. Never holds the
// token, any text, digest or reply field.
std::string auditLine(RequestView request, bool elevated, bool ok, WallClock::time_point at);

// The audit log of one data directory, DATA/agent-audit.jsonl, kept open between records.
// Best effort throughout: every failure (a read-only or missing file, a symbolic link or
// anything but a regular file at that name) is swallowed and the record is lost.
// Used only from the broker thread, so records never interleave.
class AuditLog {
 public:
  // Opens the log when it exists; creates nothing yet.
  explicit AuditLog(std::string dataDirectory);

  // Appends the record of `request` (answered with success or not, `ok`, under a grant whose
  // elevated flag is `elevated`), stamped now, as one line in one write. A missing log is
  // created with mode 0600; an existing one keeps its mode. When the name no longer leads to
  // the open file (the log was deleted, moved away or replaced), the name is opened afresh
  // first.
  void append(RequestView request, bool elevated, bool ok) noexcept;

 private:
  void open(bool create);

  const std::string path_;
  UniqueFd log_;
  FolderIdentity identity_{};  // device and inode of the open log
};

}  // namespace tamber
