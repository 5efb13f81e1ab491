#pragma once

#include <string>
#include <string_view>

#include "access/grant.h"
#include "platform/unique_fd.h"

namespace tamber {

// The path an agent named, after the data-volume alias is dropped, once it has passed the
// checks every named path must pass before anything touches the file system: absolute, no
// ".." component, no NUL byte (the kernel would see a shorter name than the one checked),
// and allowed by the path policy. Throws the refusal's sentence otherwise.
std::string agentPath(std::string_view path);

// True when `path` is `root` itself or lies below it (component-wise, so /a/work2 is not
// inside /a/work).
bool insideRoot(std::string_view path, std::string_view root);

// A target reached from a grant folder: an open directory and the one name inside it.
struct ResolvedPath {
  UniqueFd parent;   // read-only directory descriptor inside (or equal to) a grant folder
  std::string leaf;  // a single name without "/"; "." when the path is the grant folder itself
};

// Resolves `path` (as the agent sent it) inside `grant` without following any symbolic link:
// checks it like agentPath, picks the longest grant folder that contains it, opens that
// folder and proves it is still the folder that was granted (device and inode), then opens
// each intermediate folder relative to the previous one with no-follow opens.
// The caller owns the returned descriptor. Throws "Absolute, non-traversing path required",
// the path-policy sentences, "Path is outside the selected grant folders", "Selected folder
// identity changed; revoke and reselect it", or the system's error text of a failed open;
// no descriptor stays open after a failure. Safe on any thread.
ResolvedPath parentFD(std::string_view path, const AgentGrant& grant);

// Opens `name` in `directory` read-only without following a symbolic link and without waiting
// (a named pipe opens at once), and keeps it only if it is a regular file with exactly one
// link: a second name could live outside the grant. The caller owns the returned descriptor;
// `directory` is left open. Throws the system's error text or "Only regular, single-link
// files may be opened or changed".
UniqueFd regularFD(int directory, const std::string& name);

}  // namespace tamber
