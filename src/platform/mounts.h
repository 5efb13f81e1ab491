#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>

namespace tamber {

// The mount point of the file system `device` that holds the absolute path `path`, from the
// process's mount table (/proc/self/mountinfo): of the mounts of that device whose point is
// `path` or one of its ancestors, the deepest. Empty when there is none or the table cannot
// be read. Any thread.
std::string mountPointOf(dev_t device, const std::string& path);

// The id of the mount that `name` in the folder `folderFd` belongs to, without following a
// final symbolic link; with an empty `name`, of `folderFd` itself. Two folders with different
// device numbers on one mount are subvolumes of one file system (Btrfs, bcachefs); on
// different mounts they are different file systems. Empty when the kernel cannot tell.
std::optional<uint64_t> mountId(int folderFd, const char* name) noexcept;

// Whether `name` in the folder `folderFd` is the root of a mount (something mounted over the
// name), without following a final symbolic link. Empty when the kernel cannot tell.
std::optional<bool> isMountRoot(int folderFd, const char* name) noexcept;

}  // namespace tamber
