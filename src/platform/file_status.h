#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <optional>

namespace tamber {

// Reads `mask` (STATX_* bits) of the status of `name` in the folder `folderFd` into `status`,
// without following a final symbolic link or setting off an automount; with an empty `name`,
// of `folderFd` itself. Returns 0, or the error number. Any thread.
int entryStatus(int folderFd, const char* name, unsigned mask, struct statx& status) noexcept;

// When `name` in the folder `folderFd` was made (its birth time), in nanoseconds since 1970,
// as entryStatus reaches it. Empty where the file system keeps no birth time (ext4 with small
// inodes, NFS, ...). Any thread.
std::optional<std::int64_t> birthTimeNs(int folderFd, const char* name) noexcept;

}  // namespace tamber
