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

}  // namespace tamber
