#pragma once

#include <cstdint>
#include <optional>

namespace tamber {

// When `name` in the folder `folderFd` was made (its birth time), in nanoseconds since 1970,
// without following a final symbolic link; with an empty `name`, of `folderFd` itself. Empty
// where the file system keeps no birth time (ext4 with small inodes, NFS, ...). Any thread.
std::optional<std::int64_t> birthTimeNs(int folderFd, const char* name) noexcept;

}  // namespace tamber
