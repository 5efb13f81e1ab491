#include "engine/inventory/indexer.h"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "base/failure.h"
#include "engine/inventory/index_store.h"
#include "engine/inventory/space_ledger.h"
#include "engine/inventory/worker_pool.h"
#include "platform/extent_map.h"
#include "platform/fd_io.h"
#include "platform/file_status.h"
#include "platform/mounts.h"
#include "platform/unique_fd.h"

namespace tamber::engine {

namespace {

// Folder descriptors the walk holds at most: a quarter of what the process may open, and no
// more than this. Deeper folders close the shallowest ones and reopen them when needed. The
// steps on their way from the walk to the count hold as many again, at most, and each thread
// that measures them a few files (kMapsPerTurn).
constexpr size_t kOpenFoldersAtMost = 128;
constexpr size_t kOpenFoldersAtLeast = 4;
constexpr size_t kStepsAtMost = 64;
// How many folders are entered between two progress updates.
constexpr unsigned kProgressEvery = 64;
// Entries of a folder measured together, by one thread: most folders are one batch, and the
// batches of a large one are measured side by side.
constexpr size_t kBatch = 256;
// Files whose extent maps one thread reads in one turn, each open until then: at most this
// many, and a sixteenth of the folder descriptors; a thread has at most twice as many open.
constexpr size_t kMapsPerTurn = 8;
// Turns to read maps in, one for each group of the file system's space, up to this many.
constexpr size_t kTurnsAtMost = 64;
// Bytes of a folder's listing read at a time.
constexpr size_t kListingBytes = 32 * 1024;

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
  // A file of several names: its device and inode, so that it is listed once; else zeros.
  uint64_t device = 0;
  uint64_t inode = 0;
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
    // Another name of a file kept already takes no space of its own: one line is enough.
    if (candidate.inode != 0 && std::any_of(kept_.begin(), kept_.end(), [&](const Candidate& c) {
          return c.inode == candidate.inode && c.device == candidate.device;
        })) {
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

// What the count needs of an entry's status.
struct Status {
  mode_t mode = 0;
  nlink_t links = 0;
  dev_t device = 0;
  ino_t inode = 0;
  uint64_t size = 0;
  uint64_t bytes = 0;  // what its blocks take

  static Status of(const struct statx& status) {
    return Status{
        status.stx_mode, status.stx_nlink, makedev(status.stx_dev_major, status.stx_dev_minor),
        status.stx_ino,  status.stx_size,  status.stx_blocks * 512};
  }
};

// One entry of a folder that is not one of its subfolders: listed by the walk, measured on
// any thread, then counted.
struct Entry {
  std::string name;  // as on disk
  unsigned char type = DT_UNKNOWN;
  bool statusRead = false;  // the walk read it already, to see whether it is a folder
  int statError = 0;        // errno of a failed look; 0 when `status` holds
  Status status;
  int mapError = -1;           // -1: no extent map read; 0: the figures below hold; else errno
  uint64_t mappedBytes = 0;    // every extent
  uint64_t unsharedBytes = 0;  // the extents nothing else references
  std::vector<PhysicalRange> shared;  // the extents other files reference too
  bool mountedOver = false;           // something else is mounted over the name
  std::optional<uint64_t> mount;      // the id of the mount it lies on, where the kernel tells
};

// Reads the status of `name` in `folder` into `entry`, without following a link; with an
// empty name, of `folder` itself. Returns 0, or the error number when it cannot be read.
int readStatus(int folder, const char* name, Entry& entry) {
  struct statx status {};
  if (const int error = entryStatus(folder, name, STATX_BASIC_STATS | STATX_MNT_ID, status)) {
    return error;
  }
  entry.status = Status::of(status);
  entry.mount =
      (status.stx_mask & STATX_MNT_ID) != 0 ? std::optional(status.stx_mnt_id) : std::nullopt;
  return 0;
}

// What the walk itself counts of a folder, besides its entries.
struct FolderCounts {
  uint64_t folders = 0;           // its subfolders that were entered
  uint64_t otherFileSystems = 0;  // its subfolders where another file system is mounted
  bool unreadable = false;        // it could not be read, or not to the end
};

// What the walk hands on to the count, in the walk's order: a folder entered, a batch of its
// entries, a folder left. Every entry of a folder comes before its first subfolder.
struct Step {
  enum class Kind { enter, entries, leave };
  Kind kind = Kind::entries;
  // enter:
  std::string name;  // as on disk; the root's full path
  dev_t device = 0;
  uint64_t ownBytes = 0;  // the folder's own blocks
  // entries: the folder they are in, until they have been measured
  std::shared_ptr<const UniqueFd> folder;
  std::vector<Entry> entries;
  // leave:
  FolderCounts counts;
};

// Reads what the count needs of the entries of a step, on any thread: each entry's status
// without following a link and, on file systems that share extents, each regular file's extent
// map.
//
// The maps are read in turns, one thread at a time for each group of the file system's space
// (XFS's allocation groups; elsewhere the whole file system is one group), a few files' worth
// per turn: read side by side, maps of reflinked files in one group wait for each other's
// locks in the kernel, and take far longer, with more processor time, than in turn. Maps in
// different groups do not wait for each other, so the count is not held to one map at a time
// on a machine of many cores.
// Opening, inspecting and closing the files, which is as much work again, goes on on every
// thread meanwhile, and a thread that finds its turn taken opens and inspects more files
// before it waits for it, awake at first: a turn lasts a few maps, less than putting a thread
// to sleep and waking it would cost (a third of the time of the whole count, when it slept).
class Measurer {
 public:
  Measurer(bool extentMaps, dev_t device, std::optional<uint64_t> treeMount,
           std::optional<SpaceGroups> groups)
      : extentMaps_(extentMaps),
        treeMount_(treeMount),
        mapsPerTurn_(std::clamp<size_t>(folderDescriptors() / 16, 1, kMapsPerTurn)),
        device_(device),
        groups_(groups),
        turns_(groups ? std::min<size_t>(groups->count, kTurnsAtMost) : 1) {}

  void measure(Step& step) {
    if (step.kind != Step::Kind::entries) {
      return;
    }
    const int folder = step.folder->get();
    std::vector<Entry>& entries = step.entries;
    // Files open for their maps, oldest first. While another thread has the turn, this one
    // goes on inspecting, and waits only once twice a turn's worth of files are open.
    std::array<std::pair<Entry*, UniqueFd>, 2 * kMapsPerTurn> waiting;
    size_t open = 0;
    size_t mapped = 0;  // of those, the first ones whose maps were read already
    // The group where the extents of this folder's files lie, as the last map read told: a
    // folder's files are mostly written, or copied from files written, side by side.
    std::optional<uint32_t> group;
    const auto turn = [&]() -> std::mutex& { return turns_[group.value_or(0) % turns_.size()]; };
    const auto readWaitingMaps = [&](std::mutex& taken) {
      std::unique_lock turnHeld(taken, std::adopt_lock);
      std::optional<uint64_t> lastPlace;
      for (size_t i = mapped; i < open; ++i) {
        if (std::optional<uint64_t> place = readMap(waiting[i].second.get(), *waiting[i].first)) {
          lastPlace = place;
        }
      }
      turnHeld.unlock();
      for (size_t i = 0; i < open; ++i) {
        waiting[i].second.reset();
      }
      open = mapped = 0;
      if (groups_ && lastPlace) {
        group = groups_->ofPhysical(*lastPlace);
      }
    };
    // Before any map of the folder is read, the first file's map alone is read in the turn of
    // the file's own group, where a file system puts a new file's data: a guess that, when
    // wrong (a reflinked copy's data lies with its original), costs time only.
    const auto findGroup = [&] {
      group = groups_->ofInode(waiting[0].first->status.inode);
      std::unique_lock turnHeld(waitFor(turn()), std::adopt_lock);
      const std::optional<uint64_t> place = readMap(waiting[0].second.get(), *waiting[0].first);
      turnHeld.unlock();
      mapped = 1;
      if (place) {
        group = groups_->ofPhysical(*place);
      }
    };
    std::optional<dev_t> folderDevice;
    for (Entry& entry : entries) {
      if (UniqueFd file = inspect(folder, entry)) {
        waiting[open++] = {&entry, std::move(file)};
      }
      noteMountedOver(folder, folderDevice, entry);
      if (open < mapsPerTurn_) {
        continue;
      }
      if (groups_ && !group) {
        findGroup();
      }
      if (open == 2 * mapsPerTurn_) {
        readWaitingMaps(waitFor(turn()));  // as many open as a thread may have
      } else if (std::mutex& wanted = turn(); wanted.try_lock()) {
        readWaitingMaps(wanted);
      }  // else another thread has the turn: inspect more meanwhile
    }
    if (open > 0) {
      if (groups_ && !group) {
        findGroup();
      }
      readWaitingMaps(waitFor(turn()));
    }
    // The walk may be done with the folder: let its descriptor go as soon as nobody needs it.
    step.folder.reset();
  }

 private:
  // Takes `turn`, awake for as long as a few maps take, asleep beyond: a map that waits for
  // the disk (a cold cache) can take far longer.
  static std::mutex& waitFor(std::mutex& turn) {
    const auto asleepFrom = std::chrono::steady_clock::now() + kAwakeWait;
    while (!turn.try_lock()) {
      if (std::chrono::steady_clock::now() >= asleepFrom) {
        turn.lock();
        break;
      }
      ::sched_yield();
    }
    return turn;
  }

  // Reads the entry's status, and returns the regular file open when its map is wanted. A
  // file whose map is wanted is opened once, and its status read from the open file. Opening
  // is safe: the name was a regular file a moment ago, and O_NONBLOCK and O_NOCTTY keep a device
  // or pipe swapped in since from blocking or becoming anything's terminal.
  UniqueFd inspect(int folder, Entry& entry) const {
    constexpr int kOpenFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    UniqueFd file;
    bool opened = false;  // an open was tried
    if (!entry.statusRead) {
      bool known = false;
      if (extentMaps_ && entry.type == DT_REG) {
        opened = true;
        file.reset(::openat(folder, entry.name.c_str(), kOpenFlags));
        known = file && readStatus(file.get(), "", entry) == 0;
        if (!known) {
          file.reset();
        }
      }
      if (!known) {
        entry.statError = readStatus(folder, entry.name.c_str(), entry);
        if (entry.statError != 0) {
          return UniqueFd();
        }
      }
    }
    if (!extentMaps_ || !S_ISREG(entry.status.mode)) {
      return UniqueFd();
    }
    // A file without blocks has no extents: there is no map to read.
    if (!opened && entry.status.bytes > 0) {
      opened = true;
      file.reset(::openat(folder, entry.name.c_str(), kOpenFlags));
    }
    // A file without blocks has nothing to map: whatever became of its open is no loss.
    if (entry.status.bytes == 0) {
      return UniqueFd();
    }
    if (!file && opened) {
      entry.mapError = EACCES;  // counted by its blocks
    }
    return file;
  }

  // Where the ledger finds a shared extent. A plain extent is the range it takes on the
  // disk. An encoded (compressed) one starts where its encoded data does but reports the
  // length it decodes to, so taken as it stands its range would cover the extents stored
  // after it, and other files' extents would seem to be its own. Btrfs, the file system that
  // encodes, decodes an extent to at most 128 KiB from at least one 4 KiB block: placed at 32
  // times its start, in a space of its own above every real address, encoded extents never
  // overlap each other or anything else, and one referenced from several files is still one.
  static PhysicalRange sharedRange(const Extent& extent) {
    constexpr uint64_t kEncodedSpace = uint64_t{1} << 63;
    constexpr int kSpread = 5;  // times 32
    if (extent.encoded && extent.physical < (kEncodedSpace >> (kSpread + 1))) {
      return PhysicalRange{kEncodedSpace + (extent.physical << kSpread), extent.length};
    }
    return PhysicalRange{extent.physical, extent.length};
  }

  // A file on another mount than the tree's is mounted over its name (a bind-mounted file,
  // of this file system or another): it is left out. Where the kernel gives no mount ids, a
  // file on another device than its folder is either that or how overlayfs shows a file of a
  // layer on another file system, which is counted.
  void noteMountedOver(int folder, std::optional<dev_t>& folderDevice, Entry& entry) const {
    if (entry.statError != 0) {
      return;
    }
    if (entry.mount && treeMount_) {
      entry.mountedOver = *entry.mount != *treeMount_;
      return;
    }
    if (!folderDevice) {
      struct stat status {};
      folderDevice = ::fstat(folder, &status) == 0 ? status.st_dev : entry.status.device;
    }
    if (entry.status.device != *folderDevice) {
      entry.mountedOver = isMountRoot(folder, entry.name.c_str()).value_or(true);
    }
  }

  // Reads the file's map into the entry. Returns where on this file system the file's first
  // located extent lies, if anywhere.
  std::optional<uint64_t> readMap(int file, Entry& entry) const {
    thread_local std::vector<Extent> extents;
    entry.mapError = readExtentMap(file, extents);
    if (entry.mapError != 0) {
      return std::nullopt;
    }
    std::optional<uint64_t> place;
    for (const Extent& extent : extents) {
      if (!place && extent.located && entry.status.device == device_) {
        place = extent.physical;
      }
      if (extent.shared) {
        entry.shared.push_back(sharedRange(extent));
      } else {
        entry.unsharedBytes += extent.length;
      }
      entry.mappedBytes += extent.length;
    }
    return place;
  }

  const bool extentMaps_;
  const std::optional<uint64_t> treeMount_;  // the mount the tree's folders lie on
  const size_t mapsPerTurn_;
  const dev_t device_;  // of the file system `groups_` describes
  const std::optional<SpaceGroups> groups_;
  std::vector<std::mutex> turns_;  // one for each group, or for groups this many apart
};

using Steps = OrderedWork<Step>;

// Walks the tree depth first, one folder descriptor relative to the previous one, and hands
// every folder and entry on as steps. Reads no more than it must to know where to go: the
// status of folders (and of entries whose type the listing does not give). One thread.
class Walker {
 public:
  Walker(Steps& steps, const std::atomic<bool>& stop, std::atomic<uint64_t>* entriesSeen,
         std::optional<uint64_t> rootMount)
      : steps_(steps), stop_(stop), entriesSeen_(entriesSeen), rootMount_(rootMount) {}

  // Walks everything below the root folder open at `fd`. False when stopped.
  bool run(std::string rootName, UniqueFd fd, const struct stat& status) {
    if (!enter(std::move(rootName), std::move(fd), status.st_dev, status.st_ino,
               blockBytes(status))) {
      return false;
    }
    while (!frames_.empty()) {
      if (stop_.load(std::memory_order_relaxed)) {
        return false;
      }
      Frame& top = frames_.back();
      bool going = true;
      if (top.next == top.subfolders.size()) {
        going = leave();
      } else if (top.fd || reopenTop()) {
        Subfolder next = std::move(top.subfolders[top.next++]);
        going = openSubfolder(std::move(next));
      } else {
        // Moved or replaced while the walk was below it: the rest of it is not reached.
        top.counts.unreadable = true;
        top.next = top.subfolders.size();
      }
      if (!going) {
        return false;
      }
    }
    publishProgress();
    return true;
  }

 private:
  struct Subfolder {
    std::string name;  // as on disk
    dev_t device;
    ino_t inode;
    uint64_t ownBytes;
  };

  struct Frame {
    std::string name;                    // as on disk; the root's full path
    std::shared_ptr<const UniqueFd> fd;  // empty while closed to save descriptors, or
                                         // when unreadable
    dev_t device = 0;
    ino_t inode = 0;
    std::vector<Subfolder> subfolders;
    size_t next = 0;  // the subfolder to enter next
    FolderCounts counts;
  };

  void publishProgress() {
    if (entriesSeen_ != nullptr) {
      entriesSeen_->store(entries_, std::memory_order_relaxed);
    }
  }

  bool openSubfolder(Subfolder subfolder) {
    // No-follow and directory-only: a name swapped for a link since it was listed fails here
    // instead of leading the walk out of the tree.
    UniqueFd fd(::openat(frames_.back().fd->get(), subfolder.name.c_str(),
                         O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    const int openError = fd ? 0 : errno;
    struct stat opened {};
    if (openError == ENOENT || openError == ENOTDIR || openError == ELOOP) {
      // Gone, or replaced by a file or a link, since the listing: no folder to count.
      frames_.back().counts.folders -= 1;
      return true;
    }
    if (fd && ::fstat(fd.get(), &opened) != 0) {
      fd.reset();
    } else if (fd && (opened.st_dev != subfolder.device || opened.st_ino != subfolder.inode)) {
      // Replaced between the listing and the open: what is there now was not counted.
      frames_.back().counts.folders -= 1;
      return true;
    }
    return enter(std::move(subfolder.name), std::move(fd), subfolder.device, subfolder.inode,
                 subfolder.ownBytes);
  }

  // Makes `fd` (empty: the folder could not be opened) the current folder and lists its
  // entries. False when the count has gone.
  bool enter(std::string name, UniqueFd fd, dev_t device, ino_t inode, uint64_t ownBytes) {
    Step step;
    step.kind = Step::Kind::enter;
    step.name = name;
    step.device = device;
    step.ownBytes = ownBytes;
    if (!steps_.push(std::move(step), false)) {
      return false;
    }
    if (++folders_ % kProgressEvery == 0) {
      publishProgress();
    }
    Frame frame;
    frame.name = std::move(name);
    frame.device = device;
    frame.inode = inode;
    if (fd) {
      frame.fd = std::make_shared<const UniqueFd>(std::move(fd));
    }
    frames_.push_back(std::move(frame));
    Frame& current = frames_.back();
    if (!current.fd) {
      current.counts.unreadable = true;
      return true;
    }
    openDescriptors_ += 1;
    closeShallowFolders();
    return list(current);
  }

  bool leave() {
    Step step;
    step.kind = Step::Kind::leave;
    step.counts = frames_.back().counts;
    if (frames_.back().fd) {
      openDescriptors_ -= 1;
    }
    frames_.pop_back();
    return steps_.push(std::move(step), false);
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
      UniqueFd fd(::openat(frames_[i - 1].fd->get(), frame.name.c_str(),
                           O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
      struct stat status {};
      if (!fd || ::fstat(fd.get(), &status) != 0 || status.st_dev != frame.device ||
          status.st_ino != frame.inode) {
        return false;
      }
      frame.fd = std::make_shared<const UniqueFd>(std::move(fd));
      openDescriptors_ += 1;
    }
    closeShallowFolders();
    return true;
  }

  // Reads the listing of `frame`: subfolders are kept for later, every other entry is handed
  // on in batches, in the listing's order. False when the count has gone.
  bool list(Frame& frame) {
    const int fd = frame.fd->get();
    std::vector<Entry> batch;
    for (;;) {
      const ssize_t got = ::getdents64(fd, listing_.data(), listing_.size());
      if (got <= 0) {
        if (got < 0) {
          frame.counts.unreadable = true;
        }
        break;
      }
      for (size_t at = 0; at < static_cast<size_t>(got);) {
        const auto* record = reinterpret_cast<const dirent64*>(listing_.data() + at);
        at += record->d_reclen;
        if (isDotOrDotDot(record->d_name)) {
          continue;
        }
        entries_ += 1;
        Entry entry;
        entry.name = record->d_name;
        entry.type = record->d_type;
        if ((entry.type == DT_DIR || entry.type == DT_UNKNOWN) && !lookAt(frame, entry)) {
          continue;  // a subfolder, or gone
        }
        if (batch.empty()) {
          batch.reserve(kBatch);
        }
        batch.push_back(std::move(entry));
        if (batch.size() == kBatch && !handOn(frame, batch)) {
          return false;
        }
      }
      if (stop_.load(std::memory_order_relaxed)) {
        return false;
      }
    }
    return batch.empty() || handOn(frame, batch);
  }

  // Reads the status of an entry that may be a folder. A folder of this file system becomes a
  // subfolder; false for it, and for what is gone or left out. True, with the status read,
  // for anything else.
  bool lookAt(Frame& frame, Entry& entry) {
    if (const int error = readStatus(frame.fd->get(), entry.name.c_str(), entry)) {
      // A name removed since the folder was listed is simply gone; anything else means the
      // folder cannot be measured completely.
      if (error != ENOENT) {
        frame.counts.unreadable = true;
      }
      return false;
    }
    if (!S_ISDIR(entry.status.mode)) {
      entry.statusRead = true;
      return true;
    }
    // Another device on the same mount is a subvolume of the same file system; a different
    // mount is another file system, which the index leaves out, and so is a bind mount of
    // this one (the same device, another mount): its files would be counted twice.
    if (rootMount_ && entry.mount ? entry.mount == rootMount_
                                  : entry.status.device == frame.device) {
      frame.counts.folders += 1;
      frame.subfolders.push_back(Subfolder{std::move(entry.name), entry.status.device,
                                           entry.status.inode, entry.status.bytes});
    } else {
      frame.counts.otherFileSystems += 1;
    }
    return false;
  }

  bool handOn(const Frame& frame, std::vector<Entry>& batch) {
    Step step;
    step.kind = Step::Kind::entries;
    step.folder = frame.fd;
    step.entries = std::move(batch);
    batch.clear();
    return steps_.push(std::move(step), true);
  }

  Steps& steps_;
  const std::atomic<bool>& stop_;
  std::atomic<uint64_t>* entriesSeen_;
  const std::optional<uint64_t> rootMount_;
  std::vector<Frame> frames_;
  const size_t descriptorBudget_ = folderDescriptors();
  size_t openDescriptors_ = 0;
  uint64_t entries_ = 0;
  uint64_t folders_ = 0;
  std::vector<char> listing_ = std::vector<char>(kListingBytes);
};

// Counts the steps of the walk, in its order, and writes the index's records. One thread.
class Tally {
 public:
  explicit Tally(IndexWriter& writer) : writer_(writer) {}

  // Counts one step. True once the indexed folder has been left: the walk is complete.
  bool count(Step& step) {
    switch (step.kind) {
      case Step::Kind::enter:
        enter(step);
        return false;
      case Step::Kind::entries:
        for (const Entry& entry : step.entries) {
          countEntry(frames_.back(), entry);
        }
        return false;
      case Step::Kind::leave:
        leave(step.counts);
        return frames_.empty();
    }
    return false;
  }

  // Once the walk is complete: the exclusive figures, which only the whole walk tells.
  void finish() {
    for (const SpaceLedger::ExclusiveChange& change : ledger_.finish()) {
      writer_.addExclusive(change.folder, change.exclusiveBytes, change.exclusiveHereBytes);
      if (change.folder == 0) {
        root_.usage.exclusiveBytes += static_cast<uint64_t>(change.exclusiveBytes);
      }
    }
  }

  // The indexed folder's own record, once finish() has run.
  const FolderRecord& root() const { return root_; }

 private:
  struct Frame {
    SpaceLedger::Folder id = 0;
    std::string name;  // as on disk
    dev_t device = 0;
    bool unreadable = false;  // counted already
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

  void enter(Step& step) {
    Frame frame;
    frame.id = ledger_.enter();
    frame.name = std::move(step.name);
    frame.device = step.device;
    ledger_.addOwn(Measure{0, 0, static_cast<int64_t>(step.ownBytes)});
    frames_.push_back(std::move(frame));
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
    if (S_ISDIR(entry.status.mode)) {
      return;  // became a folder after the walk had listed it: not entered
    }
    if (entry.mountedOver) {
      return;  // not part of this file system
    }
    countFile(frame, entry);
  }

  void countFile(Frame& frame, const Entry& entry) {
    const Status& status = entry.status;
    const bool regular = S_ISREG(status.mode);
    const uint64_t logical = regular ? status.size : 0;
    const bool linked = status.links > 1;
    if (linked) {
      if (const std::optional<uint64_t> known =
              ledger_.nameLinkedInode(status.device, status.inode)) {
        offerLargest(frame, entry, logical, *known);
        return;
      }
    }
    Measure measure{1, static_cast<int64_t>(logical), static_cast<int64_t>(status.bytes)};
    uint64_t fileBytes = status.bytes;
    if (entry.mapError == 0) {
      fileBytes = entry.mappedBytes;
      measure.allocatedBytes = static_cast<int64_t>(entry.unsharedBytes);
    } else if (entry.mapError > 0) {
      frame.unmappedFiles += 1;
    }
    if (linked) {
      ledger_.addLinkedInode(status.device, status.inode, status.links, measure, entry.shared);
    } else {
      ledger_.addOwn(measure);
      for (const PhysicalRange& range : entry.shared) {
        ledger_.addSharedRange(range);
      }
    }
    offerLargest(frame, entry, logical, fileBytes);
  }

  void offerLargest(Frame& frame, const Entry& entry, uint64_t logical, uint64_t allocated) {
    if (frame.largest.wants(allocated, logical)) {
      const bool linked = entry.status.links > 1;
      frame.largest.add(Candidate{entry.name, frame.id, logical, allocated, false,
                                  linked ? entry.status.device : 0,
                                  linked ? entry.status.inode : 0});
    }
  }

  void leave(const FolderCounts& counts) {
    Frame frame = std::move(frames_.back());
    frames_.pop_back();
    frame.folders += counts.folders;
    frame.otherFileSystems += counts.otherFileSystems;
    if (counts.unreadable) {
      frame.noteUnreadable();
    }
    const SpaceLedger::FolderTotals totals = ledger_.leave();
    FolderRecord record;
    record.id = frame.id;
    if (!frames_.empty()) {
      record.parent = frames_.back().id;
    }
    record.name = std::move(frame.name);
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
        writer_.addFile(FileRecord{candidate.folder, candidate.name, candidate.logicalBytes,
                                   candidate.allocatedBytes, linkNumber(candidate)});
        candidate.written = true;
        frame.keptFiles += 1;
      }
    }
    record.keptFiles = frame.keptFiles;
    writer_.addFolder(record);
    if (record.id == 0) {
      root_ = record;
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

  // The number a file of several names shares with its other names in the index; 0 for a
  // file of one name.
  uint64_t linkNumber(const Candidate& candidate) {
    if (candidate.inode == 0) {
      return 0;
    }
    return links_.try_emplace({candidate.device, candidate.inode}, links_.size() + 1).first->second;
  }

  IndexWriter& writer_;
  std::map<std::pair<uint64_t, uint64_t>, uint64_t> links_;  // by device and inode
  SpaceLedger ledger_;
  std::vector<Frame> frames_;
  FolderRecord root_;
};

// Walks the tree on a thread of its own while the helpers, and this thread when it would
// otherwise wait, measure its entries, and this thread counts them in the walk's order. True
// once the whole tree is counted; false, promptly, once `stop` is seen.
bool walkAndCount(Tally& tally, std::string root, UniqueFd rootFd, const struct stat& status,
                  bool extentMaps, const std::atomic<bool>& stop,
                  std::atomic<uint64_t>* entriesSeen) {
  const std::optional<uint64_t> rootMount = mountId(rootFd.get(), "");
  Measurer measurer(extentMaps, status.st_dev, rootMount,
                    extentMaps ? spaceGroups(rootFd.get()) : std::nullopt);
  Steps steps(std::min(folderDescriptors(), kStepsAtMost), helpersForThisMachine(),
              [&measurer](Step& step) { measurer.measure(step); });
  std::thread walking([&, rootFd = std::move(rootFd)]() mutable {
    Walker walker(steps, stop, entriesSeen, rootMount);
    if (walker.run(std::move(root), std::move(rootFd), status)) {
      steps.finish();
    } else {
      steps.close();
    }
  });
  // On every way out the walk ends (its steps fail once closed) before its queue goes.
  struct Join {
    Steps& steps;
    std::thread& thread;
    ~Join() {
      steps.close();
      thread.join();
    }
  } join{steps, walking};
  while (std::optional<Step> step = steps.pop()) {
    if (stop.load(std::memory_order_relaxed)) {
      return false;
    }
    if (tally.count(*step)) {
      return true;
    }
  }
  return false;  // closed before the root was left: stopped
}

}  // namespace

std::optional<ScanRecord> indexFolder(const std::string& root, const std::string& dataDir,
                                      const std::atomic<bool>& stop,
                                      std::atomic<uint64_t>* entriesSeen) {
  const auto started = std::chrono::steady_clock::now();
  ScanRecord scan;
  scan.root = root;
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
    Tally tally(writer);
    if (!walkAndCount(tally, root, std::move(rootFd), status, kind.sharesExtents, stop,
                      entriesSeen)) {
      return std::nullopt;
    }
    tally.finish();
    scan.total = tally.root().usage;
  }
  scan.finishedAt = unixNow();
  scan.durationMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - started)
                        .count();
  writer.commit(scan);
  return scan;
}

}  // namespace tamber::engine
