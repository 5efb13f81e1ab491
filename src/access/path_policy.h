#pragma once

#include <string>
#include <string_view>

namespace tamber {

// Maps the data-volume alias of home folders ("/System/Volumes/Data/Users/...") back to the
// ordinary path; any other path comes back unchanged. Idempotent, never fails. A view of
// `path`.
std::string_view accessPath(std::string_view path);

// For folders the user picks for a new grant, on their canonical path: refuses whole system
// trees, protected system scopes and bare system folders with their sentences.
void guardRootScope(std::string_view canonicalPath);

// For picked folders and every path an agent names: refuses protected system paths (any
// letter case) and paths with a credential or agent-private component at any depth.
void guardProtected(std::string_view path);

}  // namespace tamber
