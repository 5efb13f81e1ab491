#include "engine/indexer.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <ctime>
#include <unordered_set>
#include <vector>

#include "access/failure.h"
#include "access/text.h"
#include "platform/unique_fd.h"

namespace tamber::engine {

namespace {

// Each folder on the way down holds one descriptor; a tree deeper than this is left unread
// below the limit (and counted as unreadable) rather than running out of descriptors.
constexpr size_t kDeepestFolder = 400;
// How many entries are looked at between two checks of the stop flag.
constexpr unsigned kStopCheckEvery = 512;

bool isDotOrDotDot(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

EntryKind kindOf(mode_t mode) {
  if (S_ISDIR(mode)) {
    return EntryKind::folder;
  }
  if (S_ISREG(mode)) {
    return EntryKind::file;
  }
  if (S_ISLNK(mode)) {
    return EntryKind::link;
  }
  return EntryKind::other;
}

class Walk {
 public:
  Walk(dev_t device, const std::atomic<bool>& stop) : device_(device), stop_(stop) {}

  // Adds the inode described by `status` to `usage`, unless a hard link to it was counted
  // before: a second name shares the first one's blocks and adds nothing to the disk.
  void count(const struct stat& status, Usage& usage) {
    if (S_ISDIR(status.st_mode)) {
      usage.folders += 1;
    } else {
      if (status.st_nlink > 1 && !linkedInodes_.insert(status.st_ino).second) {
        return;
      }
      usage.files += 1;
      if (S_ISREG(status.st_mode)) {
        usage.logicalBytes += static_cast<uint64_t>(status.st_size);
      }
    }
    usage.allocatedBytes += static_cast<uint64_t>(status.st_blocks) * 512;
  }

  // Counts everything below the folder `name` in `parent`, which `status` describes and
  // which count() has already counted. Returns false when stopped.
  bool below(int parent, const char* name, const struct stat& status, Usage& usage) {
    std::vector<Frame> stack;
    enter(stack, parent, name, status, usage);
    unsigned sinceCheck = 0;
    while (!stack.empty()) {
      if (++sinceCheck == kStopCheckEvery) {
        sinceCheck = 0;
        if (stop_.load(std::memory_order_relaxed)) {
          return false;
        }
      }
      Frame& frame = stack.back();
      errno = 0;
      const dirent* entry = ::readdir(frame.dir.get());
      if (entry == nullptr) {
        if (errno != 0) {
          frame.noteUnreadable(usage);
        }
        stack.pop_back();
        continue;
      }
      if (isDotOrDotDot(entry->d_name)) {
        continue;
      }
      const int folder = ::dirfd(frame.dir.get());
      struct stat child {};
      if (::fstatat(folder, entry->d_name, &child, AT_SYMLINK_NOFOLLOW) != 0) {
        // A name removed since the folder was listed is simply gone; anything else means
        // the folder cannot be measured completely.
        if (errno != ENOENT) {
          frame.noteUnreadable(usage);
        }
        continue;
      }
      if (child.st_dev != device_) {
        // A mount point: its own root belongs to the other file system, so none of it counts.
        if (S_ISDIR(child.st_mode)) {
          usage.otherFileSystems += 1;
        }
        continue;
      }
      count(child, usage);
      if (S_ISDIR(child.st_mode)) {
        enter(stack, folder, entry->d_name, child, usage);  // may move `frame`; not used again
      }
    }
    return !stop_.load(std::memory_order_relaxed);
  }

 private:
  struct Frame {
    UniqueDir dir;
    bool unreadableNoted = false;

    void noteUnreadable(Usage& usage) {
      if (!unreadableNoted) {
        unreadableNoted = true;
        usage.unreadableFolders += 1;
      }
    }
  };

  void enter(std::vector<Frame>& stack, int parent, const char* name, const struct stat& status,
             Usage& usage) {
    if (stack.size() >= kDeepestFolder) {
      usage.unreadableFolders += 1;
      return;
    }
    // No-follow and directory-only: a name swapped for a link since it was inspected fails
    // here instead of leading the walk out of the tree.
    UniqueFd fd(
        ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat opened {};
    if (!fd || ::fstat(fd.get(), &opened) != 0) {
      usage.unreadableFolders += 1;
      return;
    }
    if (opened.st_dev != status.st_dev || opened.st_ino != status.st_ino) {
      // Replaced between the inspection and the open: what is there now was not counted.
      return;
    }
    DIR* dir = ::fdopendir(fd.get());
    if (dir == nullptr) {
      usage.unreadableFolders += 1;
      return;
    }
    fd.release();
    stack.push_back(Frame{UniqueDir(dir)});
  }

  dev_t device_;
  const std::atomic<bool>& stop_;
  std::unordered_set<ino_t> linkedInodes_;
};

int64_t unixNow() {
  return static_cast<int64_t>(std::time(nullptr));
}

}  // namespace

std::optional<Inventory> indexFolder(const std::string& root, const std::atomic<bool>& stop) {
  const auto started = std::chrono::steady_clock::now();
  Inventory inventory;
  inventory.root = validUtf8(root);
  inventory.startedAt = unixNow();
  auto finish = [&]() -> std::optional<Inventory> {
    sortEntries(inventory.entries);
    inventory.finishedAt = unixNow();
    inventory.durationMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::steady_clock::now() - started)
                               .count();
    return std::move(inventory);
  };

  UniqueFd rootFd(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC));
  if (!rootFd) {
    inventory.error = errnoFailure().description();
    return finish();
  }
  struct stat rootStatus {};
  if (::fstat(rootFd.get(), &rootStatus) != 0) {
    inventory.error = errnoFailure().description();
    return finish();
  }
  DIR* rootDir = ::fdopendir(rootFd.get());
  if (rootDir == nullptr) {
    inventory.error = errnoFailure().description();
    return finish();
  }
  UniqueDir listing(rootDir);
  rootFd.release();

  Walk walk(rootStatus.st_dev, stop);
  inventory.total.allocatedBytes = static_cast<uint64_t>(rootStatus.st_blocks) * 512;
  bool rootUnreadable = false;
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(listing.get());
    if (entry == nullptr) {
      rootUnreadable = rootUnreadable || errno != 0;
      break;
    }
    if (isDotOrDotDot(entry->d_name)) {
      continue;
    }
    struct stat status {};
    if (::fstatat(::dirfd(listing.get()), entry->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
      rootUnreadable = rootUnreadable || errno != ENOENT;
      continue;
    }
    InventoryEntry item;
    item.name = validUtf8(entry->d_name);
    item.kind = kindOf(status.st_mode);
    if (status.st_dev != rootStatus.st_dev) {
      item.usage.otherFileSystems = S_ISDIR(status.st_mode) ? 1 : 0;
    } else {
      walk.count(status, item.usage);
      if (S_ISDIR(status.st_mode) &&
          !walk.below(::dirfd(listing.get()), entry->d_name, status, item.usage)) {
        return std::nullopt;
      }
    }
    inventory.total.add(item.usage);
    inventory.entries.push_back(std::move(item));
    if (stop.load(std::memory_order_relaxed)) {
      return std::nullopt;
    }
  }
  if (rootUnreadable) {
    inventory.total.unreadableFolders += 1;
  }
  return finish();
}

}  // namespace tamber::engine
