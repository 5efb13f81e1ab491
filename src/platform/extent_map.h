#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tamber {

// What kind of file system holds a file, as far as measuring its space is concerned.
struct FileSystemKind {
  std::string name;            // "ext4", "xfs", "btrfs", ...; empty when the type is not known
  bool sharesExtents = false;  // files can share extents (reflinks, snapshots, deduplication)
};

// The kind of the file system holding the open descriptor `fd`, from its type number alone
// (one statfs call). Btrfs, XFS, bcachefs and OCFS2 share extents; every other type, and a
// type that cannot be read, counts as not sharing. Any thread.
FileSystemKind fileSystemKind(int fd) noexcept;

// One mapped range of a regular file, as its extent map reports it.
struct Extent {
  uint64_t physical = 0;  // byte address on the file system; meaningful only when `located`
  uint64_t length = 0;    // bytes, as reported (compressed extents report their data length)
  // The file system has a place for it that other files may share: false for delayed
  // allocation, unknown locations and data kept inline with metadata.
  bool located = false;
  bool shared = false;  // other files or snapshots reference it too (only when `located`)
  // Stored encoded (compressed): `physical` is where the encoded data starts, `length` the
  // bytes it decodes to, which may be far more than it takes on the disk.
  bool encoded = false;
};

// Reads the extent map of the regular file open at `fd` into `extents`, which is cleared
// first; holes have no extent. Returns 0, or the error number of the failing call (for
// example EOPNOTSUPP where the file system keeps no map). Any thread.
int readExtentMap(int fd, std::vector<Extent>& extents);

// How a file system divides its space into groups that each keep their own record of what is
// shared: XFS's allocation groups. Finding what a file's extents share locks the record of
// their group, so maps whose extents lie in different groups can be read side by side, while
// maps in one group wait for each other.
struct SpaceGroups {
  uint64_t bytesEach = 1;  // of the address space extents report
  uint32_t count = 1;
  unsigned inodeShift = 0;  // an inode's group is its number shifted right by this

  uint32_t ofPhysical(uint64_t physical) const noexcept {
    return static_cast<uint32_t>(std::min<uint64_t>(physical / bytesEach, count - 1));
  }
  uint32_t ofInode(uint64_t inode) const noexcept {
    return static_cast<uint32_t>(std::min<uint64_t>(inode >> inodeShift, count - 1));
  }
};

// The groups of the file system holding `fd`, for XFS (whose geometry any user may read);
// nothing for every other file system. Any thread.
std::optional<SpaceGroups> spaceGroups(int fd) noexcept;

}  // namespace tamber
