#include "engine/inventory/indexer.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <vector>

#include "base/failure.h"
#include "base/text.h"
#include "engine/inventory/index_store.h"
#include "engine/inventory/space_ledger.h"
#include "engine/inventory/worker_pool.h"
#include "platform/extent_map.h"
#include "platform/unique_fd.h"

namespace tamber::engine {

namespace {

// Folder descriptors the walk holds at most: a quarter of what the process may open, and no
// more than this. Deeper folders close the shallowest ones and reopen them when needed.
constexpr size_t kOpenFoldersAtMost = 128;
constexpr size_t kOpenFoldersAtLeast = 4;
// How many folders are entered between two checks of the stop flag and progress updates
// (and every batch of entries is one).
constexpr unsigned kCheckEvery = 64;
// Entries of a folder inspected together, by several threads when there are enough of them.
constexpr size_t kBatch = 512;

bool isDotOrDotDot(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

size_t folderDescriptors() {
  struct rlimit limit {};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
    return kOpenFoldersAtMost;
  }
  return std::clamp<size_t>(limit.rlim_cur / 4, kOpenFoldersAtLeast, kOpenFoldersAtMost);
}

int64_t unixNow() {
  return static_cast<int64_t>(std::time(nullptr));
}

uint64_t blockBytes(const struct stat& status) {
  return static_cast<uint64_t>(status.st_blocks) * 512;
}

// A file that may be among the largest of some folder's subtree.
struct Candidate {
  std::string name;  // as on disk
  uint32_t folder = 0;
  uint64_t logicalBytes = 0;
  uint64_t allocatedBytes = 0;
  bool written = false;  // already a file record of the index
};

bool ranksAbove(uint64_t allocated, uint64_t logical, const Candidate& other) {
  return allocated != other.allocatedBytes ? allocated > other.allocatedBytes
                                           : logical > other.logicalBytes;
}

// The heap's top is the candidate that ranks lowest.
bool heapOrder(const Candidate& a, const Candidate& b) {
  return ranksAbove(a.allocatedBytes, a.logicalBytes, b);
}

class Largest {
 public:
  bool wants(uint64_t allocated, uint64_t logical) const {
    return kept_.size() < kLargestFilesListed || ranksAbove(allocated, logical, kept_.front());
  }
  void add(Candidate candidate) {
    if (!wants(candidate.allocatedBytes, candidate.logicalBytes)) {
      return;
    }
    if (kept_.size() == kLargestFilesListed) {
      std::pop_heap(kept_.begin(), kept_.end(), heapOrder);
      kept_.pop_back();
    }
    kept_.push_back(std::move(candidate));
    std::push_heap(kept_.begin(), kept_.end(), heapOrder);
  }
  std::vector<Candidate>& kept() { return kept_; }

 private:
  std::vector<Candidate> kept_;
};

struct Subfolder {
  std::string name;  // as on disk
  dev_t device;
  ino_t inode;
  uint64_t ownBytes;
};

struct Frame {
  SpaceLedger::Folder id = 0;
  std::string name;  // as on disk; the root's full path
  UniqueFd fd;       // empty while closed to save descriptors, or when unreadable
  dev_t device = 0;
  ino_t inode = 0;
  bool unreadable = false;  // counted already
  std::vector<Subfolder> subfolders;
  size_t next = 0;  // the subfolder to enter next
  // Counts that every folder has once: no sharing to account for.
  uint64_t folders = 0;
  uint64_t unreadableFolders = 0;
  uint64_t otherFileSystems = 0;
  uint64_t unmappedFiles = 0;
  uint64_t keptFiles = 0;
  Largest largest;

  void noteUnreadable() {
    if (!unreadable) {
      unreadable = true;
      unreadableFolders += 1;
    }
  }
};

class Walk {
 public:
  Walk(IndexWriter& writer, const std::atomic<bool>& stop, std::atomic<uint64_t>* entriesSeen,
       bool extentMaps, std::optional<uint64_t> rootMount)
      : writer_(writer),
        stop_(stop),
        entriesSeen_(entriesSeen),
        extentMaps_(extentMaps),
        rootMount_(rootMount) {}

  // Walks everything below the root folder open at `fd`. False when stopped.
  bool run(std::string rootName, UniqueFd fd, const struct stat& status) {
    enter(std::move(rootName), std::move(fd), status.st_dev, status.st_ino, blockBytes(status));
    while (!frames_.empty()) {
      if (stopped()) {
        return false;
      }
      Frame& top = frames_.back();
      if (top.next == top.subfolders.size()) {
        leave();
      } else if (top.fd || reopenTop()) {
        Subfolder next = std::move(top.subfolders[top.next++]);
        openSubfolder(std::move(next));
      } else {
        // Moved or replaced while the walk was below it: the rest of it is not reached.
        top.noteUnreadable();
        top.next = top.subfolders.size();
      }
    }
    if (entriesSeen_ != nullptr) {
      entriesSeen_->store(entries_, std::memory_order_relaxed);
    }
    for (const SpaceLedger::ExclusiveChange& change : ledger_.finish()) {
      writer_.addExclusive(change.folder, change.exclusiveBytes, change.exclusiveHereBytes);
      if (change.folder == 0) {
        root_.usage.exclusiveBytes += static_cast<uint64_t>(change.exclusiveBytes);
      }
    }
    return true;
  }

  // The indexed folder's own record, once run() has returned true.
  const FolderRecord& root() const { return root_; }

 private:
  // True once the stop flag was seen; looks at it (and publishes progress) every so often,
  // or at once when `now`.
  bool stopped(bool now = false) {
    if (!stopSeen_ && (now || ++sinceCheck_ >= kCheckEvery)) {
      sinceCheck_ = 0;
      if (entriesSeen_ != nullptr) {
        entriesSeen_->store(entries_, std::memory_order_relaxed);
      }
      stopSeen_ = stop_.load(std::memory_order_relaxed);
    }
    return stopSeen_;
  }

  void openSubfolder(Subfolder subfolder) {
    // No-follow and directory-only: a name swapped for a link since it was listed fails here
    // instead of leading the walk out of the tree.
    UniqueFd fd(::openat(frames_.back().fd.get(), subfolder.name.c_str(),
                         O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat opened {};
    if (fd && ::fstat(fd.get(), &opened) != 0) {
      fd.reset();
    } else if (fd && (opened.st_dev != subfolder.device || opened.st_ino != subfolder.inode)) {
      // Replaced between the listing and the open: what is there now was not counted.
      frames_.back().folders -= 1;
      return;
    }
    enter(std::move(subfolder.name), std::move(fd), subfolder.device, subfolder.inode,
          subfolder.ownBytes);
  }

  // Makes `fd` (empty: the folder could not be opened) the current folder and reads its
  // own entries.
  void enter(std::string name, UniqueFd fd, dev_t device, ino_t inode, uint64_t ownBytes) {
    Frame frame;
    frame.id = ledger_.enter();
    frame.name = std::move(name);
    frame.device = device;
    frame.inode = inode;
    frame.fd = std::move(fd);
    ledger_.addOwn(Measure{0, 0, static_cast<int64_t>(ownBytes)});
    frames_.push_back(std::move(frame));
    Frame& current = frames_.back();
    if (!current.fd) {
      current.noteUnreadable();
      return;
    }
    openDescriptors_ += 1;
    closeShallowFolders();
    list(current);
  }

  // Keeps the walk within its descriptors: the shallowest open folders close first, except
  // the root (always open) and the current folder.
  void closeShallowFolders() {
    for (size_t i = 1; openDescriptors_ > descriptorBudget_ && i + 1 < frames_.size(); ++i) {
      if (frames_[i].fd) {
        frames_[i].fd.reset();
        openDescriptors_ -= 1;
      }
    }
  }

  // Opens the current folder again, and every closed folder above it, name by name from the
  // nearest open one, each checked to be the folder the walk left. False when one is not.
  bool reopenTop() {
    size_t open = frames_.size() - 1;
    while (!frames_[open].fd) {
      --open;  // the root is always open
    }
    for (size_t i = open + 1; i < frames_.size(); ++i) {
      Frame& frame = frames_[i];
      UniqueFd fd(::openat(frames_[i - 1].fd.get(), frame.name.c_str(),
                           O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
      struct stat status {};
      if (!fd || ::fstat(fd.get(), &status) != 0 || status.st_dev != frame.device ||
          status.st_ino != frame.inode) {
        return false;
      }
      frame.fd = std::move(fd);
      openDescriptors_ += 1;
    }
    closeShallowFolders();
    return true;
  }

  // Reads every entry of `frame`: files are counted at once, subfolders kept for later. The
  // entries are inspected a batch at a time, by the pool's threads when there are enough of
  // them, and counted in the order they were listed.
  void list(Frame& frame) {
    // The listing gets a descriptor of its own, which it owns once fdopendir succeeds.
    UniqueFd copy(::fcntl(frame.fd.get(), F_DUPFD_CLOEXEC, 0));
    UniqueDir listing(copy ? ::fdopendir(copy.get()) : nullptr);
    if (!listing) {
      frame.noteUnreadable();
      return;
    }
    copy.release();
    // Reading extent maps holds a descriptor per file of the batch.
    const size_t batch = extentMaps_ ? descriptorBudget_ : kBatch;
    for (bool more = true; more && !stopped(true);) {
      size_t count = 0;
      while (count < batch) {
        errno = 0;
        const dirent* entry = ::readdir(listing.get());
        if (entry == nullptr) {
          if (errno != 0) {
            frame.noteUnreadable();
          }
          more = false;
          break;
        }
        if (isDotOrDotDot(entry->d_name)) {
          continue;
        }
        if (batch_.size() == count) {
          batch_.emplace_back();
        }
        batch_[count].name = entry->d_name;
        batch_[count].type = entry->d_type;
        ++count;
      }
      const int folder = frame.fd.get();
      const bool extentMaps = extentMaps_;
      pool_.forEach(count, [&](size_t i) { inspect(folder, batch_[i], extentMaps); });
      if (extentMaps) {
        // The maps one at a time: read side by side they wait for each other's locks (on XFS
        // the allocation group's, for shared extents) and take longer than in turn.
        for (size_t i = 0; i < count; ++i) {
          readMap(batch_[i]);
        }
        pool_.forEach(count, [&](size_t i) { batch_[i].file.reset(); });
      }
      for (size_t i = 0; i < count; ++i) {
        entries_ += 1;
        countEntry(frame, batch_[i]);
      }
    }
  }

  // What one entry of a folder is, read from the file system; filled on any thread.
  struct Entry {
    std::string name;
    unsigned char type = DT_UNKNOWN;
    int statError = 0;  // errno of a failed inspection; 0 when `status` holds
    struct stat status {};
    int mapError = -1;  // -1: no extent map wanted; 0: `extents` holds it; else errno
    std::vector<Extent> extents;
    UniqueFd file;  // a regular file whose extent map is wanted, until it has been read
  };

  // Inspects the entry without following a link, and opens a regular file whose extent map
  // is wanted (`extentMaps`); any thread.
  static void inspect(int folder, Entry& entry, bool extentMaps) {
    entry.mapError = -1;
    // A regular file whose extent map is wanted is opened, and then inspected, with one look
    // up of its name. Opening is safe: the name was a regular file a moment ago, and
    // O_NONBLOCK and O_NOCTTY keep a device or pipe swapped in since from blocking or
    // becoming anything's terminal.
    constexpr int kOpenFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    UniqueFd& file = entry.file;
    if (extentMaps && entry.type == DT_REG) {
      file.reset(::openat(folder, entry.name.c_str(), kOpenFlags));
      if (file && ::fstat(file.get(), &entry.status) != 0) {
        file.reset();
      }
    }
    if (!file && ::fstatat(folder, entry.name.c_str(), &entry.status, AT_SYMLINK_NOFOLLOW) != 0) {
      entry.statError = errno;
      return;
    }
    entry.statError = 0;
    if (!extentMaps || !S_ISREG(entry.status.st_mode)) {
      file.reset();
      return;
    }
    if (!file && entry.type != DT_REG) {
      file.reset(::openat(folder, entry.name.c_str(), kOpenFlags));
    }
    if (!file) {
      entry.mapError = EACCES;  // counted by its blocks
    }
  }

  static void readMap(Entry& entry) {
    if (entry.file) {
      entry.mapError = readExtentMap(entry.file.get(), entry.extents);
    }
  }

  void countEntry(Frame& frame, const Entry& entry) {
    if (entry.statError != 0) {
      // A name removed since the folder was listed is simply gone; anything else means the
      // folder cannot be measured completely.
      if (entry.statError != ENOENT) {
        frame.noteUnreadable();
      }
      return;
    }
    const struct stat& status = entry.status;
    if (S_ISDIR(status.st_mode)) {
      // Another device on the same mount is a subvolume of the same file system; a
      // different mount is another file system, which the index leaves out.
      if (status.st_dev == frame.device ||
          (rootMount_ && mountId(frame.fd.get(), entry.name.c_str()) == rootMount_)) {
        frame.folders += 1;
        frame.subfolders.push_back(
            Subfolder{entry.name, status.st_dev, status.st_ino, blockBytes(status)});
      } else {
        frame.otherFileSystems += 1;
      }
      return;
    }
    if (status.st_dev != frame.device) {
      return;  // a file mounted over this name: not part of this file system
    }
    countFile(frame, entry);
  }

  void countFile(Frame& frame, const Entry& entry) {
    const struct stat& status = entry.status;
    const bool regular = S_ISREG(status.st_mode);
    const uint64_t logical = regular ? static_cast<uint64_t>(status.st_size) : 0;
    const bool linked = status.st_nlink > 1;
    if (linked) {
      if (const std::optional<uint64_t> known =
              ledger_.nameLinkedInode(status.st_dev, status.st_ino)) {
        offerLargest(frame, entry.name, logical, *known);
        return;
      }
    }
    Measure measure{1, static_cast<int64_t>(logical), static_cast<int64_t>(blockBytes(status))};
    uint64_t fileBytes = blockBytes(status);
    shared_.clear();
    if (entry.mapError == 0) {
      uint64_t own = 0;
      fileBytes = 0;
      for (const Extent& extent : entry.extents) {
        if (extent.shared) {
          shared_.push_back(PhysicalRange{extent.physical, extent.length});
        } else {
          own += extent.length;
        }
        fileBytes += extent.length;
      }
      measure.allocatedBytes = static_cast<int64_t>(own);
    } else if (entry.mapError > 0) {
      frame.unmappedFiles += 1;
    }
    if (linked) {
      ledger_.addLinkedInode(status.st_dev, status.st_ino, status.st_nlink, measure, shared_);
    } else {
      ledger_.addOwn(measure);
      for (const PhysicalRange& range : shared_) {
        ledger_.addSharedRange(range);
      }
    }
    offerLargest(frame, entry.name, logical, fileBytes);
  }

  void offerLargest(Frame& frame, const std::string& name, uint64_t logical, uint64_t allocated) {
    if (frame.largest.wants(allocated, logical)) {
      frame.largest.add(Candidate{name, frame.id, logical, allocated, false});
    }
  }

  void leave() {
    Frame frame = std::move(frames_.back());
    frames_.pop_back();
    const SpaceLedger::FolderTotals totals = ledger_.leave();
    FolderRecord record;
    record.id = frame.id;
    if (!frames_.empty()) {
      record.parent = frames_.back().id;
    }
    record.name = validUtf8(frame.name);
    record.lastDescendant = static_cast<uint32_t>(ledger_.folderCount() - 1);
    Usage& usage = record.usage;
    usage.files = static_cast<uint64_t>(totals.total.files);
    usage.folders = frame.folders;
    usage.logicalBytes = static_cast<uint64_t>(totals.total.logicalBytes);
    usage.allocatedBytes = static_cast<uint64_t>(totals.total.allocatedBytes);
    usage.exclusiveBytes = static_cast<uint64_t>(totals.exclusiveBytes);
    usage.unreadableFolders = frame.unreadableFolders;
    usage.otherFileSystems = frame.otherFileSystems;
    usage.unmappedFiles = frame.unmappedFiles;
    record.here.files = static_cast<uint64_t>(totals.here.files);
    record.here.logicalBytes = static_cast<uint64_t>(totals.here.logicalBytes);
    record.here.allocatedBytes = static_cast<uint64_t>(totals.here.allocatedBytes);
    record.here.exclusiveBytes = static_cast<uint64_t>(totals.exclusiveHereBytes);
    // Only a selection is worth keeping: the largest of more files than are listed, or files
    // large enough to list anyway. The others may still be selected further up.
    const bool selection = usage.files > kLargestFilesListed;
    for (Candidate& candidate : frame.largest.kept()) {
      if (!candidate.written && (selection || candidate.allocatedBytes >= kListedFileBytes)) {
        writer_.addFile(FileRecord{candidate.folder, validUtf8(candidate.name),
                                   candidate.logicalBytes, candidate.allocatedBytes});
        candidate.written = true;
        frame.keptFiles += 1;
      }
    }
    record.keptFiles = frame.keptFiles;
    writer_.addFolder(record);
    if (record.id == 0) {
      root_ = record;
    }

    if (frame.fd) {
      openDescriptors_ -= 1;
    }
    if (frames_.empty()) {
      return;
    }
    Frame& parent = frames_.back();
    parent.folders += frame.folders;
    parent.unreadableFolders += frame.unreadableFolders;
    parent.otherFileSystems += frame.otherFileSystems;
    parent.unmappedFiles += frame.unmappedFiles;
    parent.keptFiles += frame.keptFiles;
    for (Candidate& candidate : frame.largest.kept()) {
      parent.largest.add(std::move(candidate));
    }
  }

  IndexWriter& writer_;
  const std::atomic<bool>& stop_;
  std::atomic<uint64_t>* entriesSeen_;
  const bool extentMaps_;
  const std::optional<uint64_t> rootMount_;
  SpaceLedger ledger_;
  std::vector<Frame> frames_;
  const size_t descriptorBudget_ = folderDescriptors();
  size_t openDescriptors_ = 0;
  FolderRecord root_;
  uint64_t entries_ = 0;
  unsigned sinceCheck_ = 0;
  bool stopSeen_ = false;
  WorkerPool pool_{WorkerPool::helpersForThisMachine()};
  std::vector<Entry> batch_;           // reused from batch to batch
  std::vector<PhysicalRange> shared_;  // reused from file to file
};

}  // namespace

std::optional<ScanRecord> indexFolder(const std::string& root, const std::string& dataDir,
                                      const std::atomic<bool>& stop,
                                      std::atomic<uint64_t>* entriesSeen) {
  const auto started = std::chrono::steady_clock::now();
  ScanRecord scan;
  scan.root = validUtf8(root);
  scan.startedAt = unixNow();
  IndexWriter writer(dataDir);

  UniqueFd rootFd(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC));
  struct stat status {};
  if (!rootFd) {
    scan.error = errnoText(errno);
  } else if (::fstat(rootFd.get(), &status) != 0) {
    scan.error = errnoText(errno);
  }
  if (scan.error.empty()) {
    const FileSystemKind kind = fileSystemKind(rootFd.get());
    scan.fileSystem = kind.name;
    scan.extentMaps = kind.sharesExtents;
    Walk walk(writer, stop, entriesSeen, kind.sharesExtents, mountId(rootFd.get(), ""));
    if (!walk.run(root, std::move(rootFd), status)) {
      return std::nullopt;
    }
    scan.total = walk.root().usage;
  }
  scan.finishedAt = unixNow();
  scan.durationMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - started)
                        .count();
  writer.commit(scan);
  return scan;
}

}  // namespace tamber::engine
