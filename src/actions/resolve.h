#pragma once

#include <string>
#include <string_view>

#include "access/grant.h"
#include "platform/unique_fd.h"

namespace tamber {

// A path an agent named that passed every check made before the file system is touched.
struct CheckedPath {
  std::string requested;  // as the agent named it
  std::string path;       // with the data-volume alias dropped: absolute, no "..", no NUL
  std::string root;       // the innermost grant folder holding it, where the walk starts
};

// Checks `path` under `grant` in this order: absolute, no ".." component, no NUL byte (the
// kernel would see a shorter name than the one checked), allowed by the path policy, inside a
// granted folder. Throws "Absolute, non-traversing path required", the path-policy sentences
// or "Path is outside the selected grant folders". Touches no file.
CheckedPath checkPath(std::string_view path, const AgentGrant& grant);

// A target reached from a grant folder: an open directory and the one name inside it.
struct ResolvedPath {
  UniqueFd parent;   // read-only directory descriptor inside (or equal to) a grant folder
  std::string leaf;  // a single name without "/"; "." when the path is the grant folder itself
};

// Walks to a checked path's parent without following any symbolic link: opens the grant
// folder the path was checked against, proves it is still the folder that was granted
// (device and inode), then opens each intermediate folder relative to the previous one with
// no-follow opens. The caller owns the returned descriptor. Throws "Selected folder identity
// changed; revoke and reselect it" or the system's error text of a failed open; no
// descriptor stays open after a failure. Safe on any thread.
ResolvedPath openParent(const CheckedPath& path, const AgentGrant& grant);

// Opens `name` in `directory` read-only without following a symbolic link and without waiting
// (a named pipe opens at once), and keeps it only if it is a regular file with exactly one
// link: a second name could live outside the grant. The caller owns the returned descriptor;
// `directory` is left open. Throws the system's error text or "Only regular, single-link
// files may be opened or changed".
UniqueFd regularFD(int directory, const std::string& name);

}  // namespace tamber
