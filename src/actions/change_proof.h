#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <string>

#include "access/grant.h"

namespace tamber {

// What a change left on disk, as the action that made it saw it: enough to tell later whether
// the entry is still exactly what the agent left. Taken inside the action from descriptors it
// already holds, never by looking at the names again afterwards.
struct ChangeProof {
  // The entry the change produced: the new file or folder (write_new, mkdir, copy), the file
  // now under the path (replace), or the file under its new name (move).
  FolderIdentity entry;
  std::uint64_t size = 0;
  // SHA-256 of the entry's content when the action took it (copy). Empty for write_new and
  // replace, whose content is the request's text: whoever keeps the proof hashes that text.
  std::string sha256;
  // move: the file's modification time, in nanoseconds since 1970; a rename keeps it, so
  // together with the inode and size it says whether the content was touched since.
  // mkdir: the folder's birth time, which its inode number alone does not give (numbers are
  // reused); where the file system keeps none, its modification time when made.
  std::int64_t modifiedNs = 0;
  // replace: the previous file, now under `backupPath` (the path the reply reports), with
  // the digest the agent proved it had.
  FolderIdentity backup;
  std::string backupPath;
  std::string previousSha256;
};

// The identity, size and modification time of `status`, as a proof records them.
inline ChangeProof proofOf(const struct stat& status) {
  ChangeProof proof;
  proof.entry = identityOf(status);
  proof.size = static_cast<std::uint64_t>(status.st_size);
  proof.modifiedNs =
      static_cast<std::int64_t>(status.st_mtim.tv_sec) * 1'000'000'000 + status.st_mtim.tv_nsec;
  return proof;
}

}  // namespace tamber
