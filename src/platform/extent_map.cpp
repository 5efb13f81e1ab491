#include "platform/extent_map.h"

#include <fcntl.h>
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <linux/magic.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/vfs.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>

namespace tamber {
namespace {

// Not in every linux/magic.h yet.
constexpr unsigned long kBcachefsMagic = 0xca451a4e;
constexpr unsigned long kZfsMagic = 0x2fc12fc1;

struct KnownType {
  unsigned long magic;
  const char* name;
  bool sharesExtents;
};

constexpr KnownType kKnownTypes[] = {
    {BTRFS_SUPER_MAGIC, "btrfs", true},
    {XFS_SUPER_MAGIC, "xfs", true},
    {kBcachefsMagic, "bcachefs", true},
    {OCFS2_SUPER_MAGIC, "ocfs2", true},
    // ext2, ext3 and ext4 share one number.
    {EXT4_SUPER_MAGIC, "ext4", false},
    {TMPFS_MAGIC, "tmpfs", false},
    {F2FS_SUPER_MAGIC, "f2fs", false},
    {NFS_SUPER_MAGIC, "nfs", false},
    {kZfsMagic, "zfs", false},  // clones blocks, but keeps no extent map to read
};

// XFS's geometry in the first version of its report, the one every later version begins
// with (XFS_IOC_FSGEOMETRY_V1 and struct xfs_fsop_geom_v1 in xfsprogs' xfs_fs.h).
struct XfsGeometry {
  uint32_t blocksize;
  uint32_t rtextsize;
  uint32_t agblocks;
  uint32_t agcount;
  uint32_t logblocks;
  uint32_t sectsize;
  uint32_t inodesize;
  uint32_t imaxpct;
  uint64_t datablocks;
  uint64_t rtblocks;
  uint64_t rtextents;
  uint64_t logstart;
  unsigned char uuid[16];
  uint32_t sunit;
  uint32_t swidth;
  int32_t version;
  uint32_t flags;
  uint32_t logsectsize;
  uint32_t rtsectsize;
  uint32_t dirblocksize;
};
constexpr unsigned long kXfsGeometry = _IOR('X', 100, XfsGeometry);

// The bits that number `count` things: 0 for one, 1 for two, 2 for three or four...
unsigned bitsFor(uint64_t count) {
  unsigned bits = 0;
  while (bits < 64 && (uint64_t{1} << bits) < count) {
    ++bits;
  }
  return bits;
}

// Extents asked for per call: enough for most files in one call, small enough for the stack.
constexpr unsigned kExtentsPerCall = 64;

}  // namespace

FileSystemKind fileSystemKind(int fd) noexcept {
  struct statfs status {};
  if (::fstatfs(fd, &status) != 0) {
    return {};
  }
  for (const KnownType& type : kKnownTypes) {
    if (static_cast<unsigned long>(status.f_type) == type.magic) {
      return {type.name, type.sharesExtents};
    }
  }
  return {};
}

int readExtentMap(int fd, std::vector<Extent>& extents) {
  extents.clear();
  // The header and its extents in one buffer, as the call wants them.
  alignas(fiemap) unsigned char buffer[sizeof(fiemap) + kExtentsPerCall * sizeof(fiemap_extent)];
  auto* request = reinterpret_cast<fiemap*>(buffer);
  uint64_t from = 0;
  for (;;) {
    *request = fiemap{};
    request->fm_start = from;
    request->fm_length = FIEMAP_MAX_OFFSET - from;
    request->fm_extent_count = kExtentsPerCall;
    if (::ioctl(fd, FS_IOC_FIEMAP, request) != 0) {
      return errno;
    }
    const unsigned mapped = std::min(request->fm_mapped_extents, kExtentsPerCall);
    if (mapped == 0) {
      return 0;
    }
    for (unsigned i = 0; i < mapped; ++i) {
      const fiemap_extent& reported = request->fm_extents[i];
      constexpr uint32_t kNowhere =
          FIEMAP_EXTENT_UNKNOWN | FIEMAP_EXTENT_DELALLOC | FIEMAP_EXTENT_DATA_INLINE;
      Extent extent;
      extent.physical = reported.fe_physical;
      extent.length = reported.fe_length;
      extent.located = (reported.fe_flags & kNowhere) == 0;
      extent.shared = extent.located && (reported.fe_flags & FIEMAP_EXTENT_SHARED) != 0;
      extent.encoded = (reported.fe_flags & FIEMAP_EXTENT_ENCODED) != 0;
      extents.push_back(extent);
      if ((reported.fe_flags & FIEMAP_EXTENT_LAST) != 0) {
        return 0;
      }
    }
    const fiemap_extent& last = request->fm_extents[mapped - 1];
    const uint64_t next = last.fe_logical + last.fe_length;
    if (next <= from) {
      return 0;  // a map that does not move on would never end
    }
    from = next;
  }
}

std::optional<SpaceGroups> spaceGroups(int fd) noexcept {
  struct statfs status {};
  XfsGeometry geometry{};
  if (::fstatfs(fd, &status) != 0 || static_cast<unsigned long>(status.f_type) != XFS_SUPER_MAGIC ||
      ::ioctl(fd, kXfsGeometry, &geometry) != 0 || geometry.agcount == 0 ||
      geometry.agblocks == 0 || geometry.inodesize == 0 ||
      geometry.blocksize < geometry.inodesize) {
    return std::nullopt;
  }
  // An extent's address counts the blocks of every group before its own. An inode's number
  // holds its group above the bits that number a block in a group and an inode in a block.
  SpaceGroups groups;
  groups.bytesEach = uint64_t{geometry.agblocks} * geometry.blocksize;
  groups.count = geometry.agcount;
  groups.inodeShift = bitsFor(geometry.agblocks) + bitsFor(geometry.blocksize / geometry.inodesize);
  return groups;
}

}  // namespace tamber
