#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <optional>
#include <unordered_map>
#include <vector>

namespace tamber::engine {

// Amounts that add up over a folder's subtree with every object counted once per folder.
struct Measure {
  int64_t files = 0;
  int64_t logicalBytes = 0;
  int64_t allocatedBytes = 0;

  Measure& operator+=(const Measure& other);
  Measure& operator-=(const Measure& other);
  bool operator==(const Measure&) const = default;
};

// A range of bytes on the file system, by physical address.
struct PhysicalRange {
  uint64_t start = 0;
  uint64_t length = 0;
};

// Counts the space below every folder of one walk, each piece of disk once per folder.
//
// The walk enters folders depth first and, inside each folder, names all of the folder's own
// entries before it enters the first subfolder; every reference is made by an entry of the
// folder entered last and not yet left (the current folder). Space is referenced in three
// forms: space only one name can reach (addOwn), ranges that the file system marks as shared
// between files (addSharedRange), and inodes with several names (nameLinkedInode and
// addLinkedInode). For every folder F the ledger then knows
// - total: every object referenced from F's subtree, once;
// - here: every object referenced by F's own entries, once;
// - exclusive: the allocated bytes that nothing outside F references, i.e. what deleting F
//   would free. Shared ranges seen from one file only, and inodes with names outside the
//   walk, are referenced from outside.
//
// A folder's totals are final when it is left, except for exclusive bytes: those of shared
// ranges and linked inodes are known only when the walk is over (finish()).
//
// Memory: a few bytes per folder, one entry per distinct shared range (adjacent ranges with
// the same owners merge) and one per linked inode; nothing per ordinary file. One thread.
class SpaceLedger {
 public:
  using Folder = uint32_t;

  struct FolderTotals {
    Measure total;
    Measure here;
    int64_t exclusiveBytes = 0;      // so far; finish() says what to add
    int64_t exclusiveHereBytes = 0;  // allocated bytes of `here` that only F's entries reach
  };

  // What finish() adds to a folder's exclusive figures.
  struct ExclusiveChange {
    Folder folder = 0;
    int64_t exclusiveBytes = 0;
    int64_t exclusiveHereBytes = 0;
  };

  // Enters a folder below the current one (the root when none is open) and returns its number:
  // 0 for the root, then 1, 2, ... in the order folders are entered.
  Folder enter();

  // Leaves the current folder and returns its totals.
  FolderTotals leave();

  // The current folder. Requires an open folder.
  Folder current() const { return stack_.back().folder; }
  size_t depth() const { return stack_.size(); }

  // Space that only this entry reaches: a file with one name and no shared extents, the
  // unshared part of such a file, a folder's own blocks.
  void addOwn(const Measure& measure);

  // A range that the file system marks as shared, referenced by a file of the current folder.
  // `newReference` is false when the same inode referenced it before under another name.
  void addSharedRange(const PhysicalRange& range, bool newReference = true);

  // An inode with `links` names. nameLinkedInode counts a further name of an inode added
  // before and returns the bytes it takes, shared ranges included; it returns nothing for an
  // inode not seen yet, which the caller then adds with addLinkedInode: `measure` is what the
  // inode takes apart from `sharedRanges`, which are referenced as addSharedRange does.
  std::optional<uint64_t> nameLinkedInode(dev_t device, ino_t inode);
  void addLinkedInode(dev_t device, ino_t inode, uint64_t links, const Measure& measure,
                      std::vector<PhysicalRange> sharedRanges);

  // Once every folder has been left: the exclusive figures to add, per folder whose figures
  // change. The ledger is spent afterwards.
  std::vector<ExclusiveChange> finish();

  // Folders entered so far.
  size_t folderCount() const { return parent_.size(); }

  // Distinct shared ranges and linked inodes held: what the ledger's memory grows with.
  size_t trackedObjects() const { return segments_.size() + inodes_.size(); }

 private:
  // Who references an object: the folder that referenced it last, and the deepest folder
  // whose subtree holds every reference so far.
  struct Owners {
    Folder last = 0;
    Folder lowest = 0;
    bool onlyHere = true;  // every reference came from `lowest`'s own entries
  };

  struct Segment {
    uint64_t end = 0;
    Owners owners;
    bool seenTwice = false;  // referenced by two inodes (or twice by one)
    bool outside = false;    // also referenced from outside the walk

    bool sameAs(const Segment& other) const;
  };

  struct LinkedInode {
    Measure measure;
    uint64_t links = 0;
    uint64_t namesSeen = 0;
    Owners owners;
    std::vector<PhysicalRange> sharedRanges;
  };

  struct InodeKey {
    dev_t device;
    ino_t inode;
    bool operator==(const InodeKey&) const = default;
  };
  struct InodeKeyHash {
    size_t operator()(const InodeKey& key) const {
      return std::hash<uint64_t>()(static_cast<uint64_t>(key.inode) * 1000003u ^
                                   static_cast<uint64_t>(key.device));
    }
  };

  struct Frame {
    Folder folder;
    Measure total;
    Measure here;
    int64_t exclusive = 0;
    int64_t exclusiveHere = 0;
  };

  using Segments = std::map<uint64_t, Segment>;  // by start

  // Counts `measure` for the current folder unless it referenced the object last.
  void reference(Owners& owners, const Measure& measure, bool first);
  // The deepest open folder whose subtree holds `folder`.
  Folder openAncestor(Folder folder) const;
  // Splits the segment holding `at` (if one does) so that a segment starts there.
  void splitAt(uint64_t at);
  // Merges contiguous, alike segments that touch the bytes from `start` to `end`.
  void mergeRange(uint64_t start, uint64_t end);
  void markOutside(const PhysicalRange& range);

  std::vector<Frame> stack_;
  std::vector<Folder> parent_;   // by folder
  std::vector<uint32_t> level_;  // by folder: the number of folders above it
  Segments segments_;
  std::unordered_map<InodeKey, LinkedInode, InodeKeyHash> inodes_;
};

}  // namespace tamber::engine
