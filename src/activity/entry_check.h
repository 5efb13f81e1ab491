#pragma once

// What the undo and the change details share: reaching an entry a change left, from its
// grant's folders, and proving that it is still what the agent left. For this folder's own
// use.

#include <sys/stat.h>

#include <optional>
#include <string>

#include "access/grant.h"
#include "actions/resolve.h"
#include "activity/journal.h"
#include "platform/unique_fd.h"

namespace tamber {

// The grant as the broker held it, enough to reach its folders again: its roots and their
// identities, with no token and no end.
AgentGrant reachableGrant(const JournalGrant& grant);

// An entry reached from its granted folder.
struct ReachedEntry {
  CheckedPath checked;
  ResolvedPath resolved;  // the open folder that holds it, and its name there
  std::string shown;      // how sentences name it: its path in the granted folder
};

// Reaches `path` as the broker would: the path policy, the innermost granted folder, whose
// identity must be the granted one, and no-follow opens down to the entry's folder. Throws
// Failure with a sentence naming the entry (or the granted folder that was replaced), without
// an ending: the caller adds its own.
ReachedEntry reachEntry(const std::string& path, const JournalGrant& journalGrant,
                        const AgentGrant& grant);

// The entry `name` in `folder` must be `identity` and no symbolic link. Returns its status;
// throws Failure "<subject> is no longer there", "... is now a symbolic link, not what the agent
// left", or "... was replaced or moved after <after>".
struct stat expectIdentity(int folder, const std::string& name, const FolderIdentity& identity,
                           const std::string& subject, const std::string& after);

// The same, and the entry is a regular single-link file whose size (when `size` is given) and
// SHA-256 are `sha256`: otherwise "<subject> was changed after <after>". Returns the open
// file, read to its end.
UniqueFd expectContent(int folder, const std::string& name, const FolderIdentity& identity,
                       std::optional<std::uint64_t> size, const std::string& sha256,
                       const std::string& subject, const std::string& after);

// What the agent did, as the end of "... was changed after ...": "the agent's edit",
// "the agent wrote it", "the agent copied it", "the agent made it", "the agent moved it".
std::string afterTheAgent(const std::string& action);

// The last component of `path`.
std::string lastName(const std::string& path);

}  // namespace tamber
