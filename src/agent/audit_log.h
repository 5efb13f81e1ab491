#pragma once

#include <string>

#include "access/grant.h"
#include "access/reply.h"

namespace tamber {

// The audit log's file name inside the data directory.
inline constexpr const char* kAuditLogName = "agent-audit.jsonl";

// The record of one answered request: exactly "action", "at", "destination", "elevated", "ok"
// and "path". Strings the request does not carry as strings become "", an "ok" the reply does
// not carry as a Boolean becomes false; `at` is written as fractional seconds since 1970.
// Never holds the token, any text, digest or reply field other than "ok".
Json auditRecord(const Json& request, bool elevated, const Json& reply, WallClock::time_point at);

// Appends the record of `request` (answered with `reply` under a grant whose elevated flag is
// `elevated`), stamped now, as one line to `dataDirectory`/agent-audit.jsonl. A missing log is
// created with mode 0600; an existing one keeps its mode. Best effort: every failure (a
// read-only or missing file, a symbolic link or anything but a regular file at that name) is
// swallowed and the record is lost. Called only from the broker thread, so records never
// interleave.
void appendAuditRecord(const std::string& dataDirectory, const Json& request, bool elevated,
                       const Json& reply) noexcept;

}  // namespace tamber
