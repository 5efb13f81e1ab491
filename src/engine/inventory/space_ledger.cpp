#include "engine/inventory/space_ledger.h"

#include <algorithm>
#include <cassert>
#include <limits>

namespace tamber::engine {

// How a reference is counted. Folders are entered depth first, so when the current folder C
// references an object, every folder that referenced it before is either open (an ancestor
// of C) or in a subtree already left; and the deepest open folder above the last reference,
// M, is the deepest ancestor of C that already counts the object (every reference after the
// last-but-one stayed inside M's subtree, or M would have been left). So the object is
// counted at C and uncounted at M: the folders from C up to M (exclusive) gain it, and M and
// everything above keep it once. Subtree totals are sums of these counts, added up as each
// folder is left into its parent. The deepest folder holding every reference, which decides
// where the object is exclusive, moves the same way: to the deepest open ancestor of where
// it was.

Measure& Measure::operator+=(const Measure& other) {
  files += other.files;
  logicalBytes += other.logicalBytes;
  allocatedBytes += other.allocatedBytes;
  return *this;
}

Measure& Measure::operator-=(const Measure& other) {
  files -= other.files;
  logicalBytes -= other.logicalBytes;
  allocatedBytes -= other.allocatedBytes;
  return *this;
}

bool SpaceLedger::Segment::sameAs(const Segment& other) const {
  return owners.last == other.owners.last && owners.lowest == other.owners.lowest &&
         owners.onlyHere == other.owners.onlyHere && seenTwice == other.seenTwice &&
         outside == other.outside;
}

SpaceLedger::Folder SpaceLedger::enter() {
  assert(parent_.size() < std::numeric_limits<Folder>::max());
  const Folder folder = static_cast<Folder>(parent_.size());
  parent_.push_back(stack_.empty() ? folder : stack_.back().folder);
  level_.push_back(static_cast<uint32_t>(stack_.size()));
  stack_.push_back(Frame{folder, {}, {}, 0, 0});
  return folder;
}

SpaceLedger::FolderTotals SpaceLedger::leave() {
  assert(!stack_.empty());
  const Frame frame = stack_.back();
  stack_.pop_back();
  if (!stack_.empty()) {
    stack_.back().total += frame.total;
    stack_.back().exclusive += frame.exclusive;
  }
  return FolderTotals{frame.total, frame.here, frame.exclusive, frame.exclusiveHere};
}

void SpaceLedger::addOwn(const Measure& measure) {
  Frame& frame = stack_.back();
  frame.total += measure;
  frame.here += measure;
  frame.exclusive += measure.allocatedBytes;
  frame.exclusiveHere += measure.allocatedBytes;
}

SpaceLedger::Folder SpaceLedger::openAncestor(Folder folder) const {
  while (!(level_[folder] < stack_.size() && stack_[level_[folder]].folder == folder)) {
    folder = parent_[folder];
  }
  return folder;
}

void SpaceLedger::reference(Owners& owners, const Measure& measure, bool first) {
  Frame& frame = stack_.back();
  if (!first && owners.last == frame.folder) {
    return;  // this folder counts it already
  }
  frame.total += measure;
  frame.here += measure;
  if (first) {
    owners = Owners{frame.folder, frame.folder, true};
    return;
  }
  const Folder meet = openAncestor(owners.last);
  stack_[level_[meet]].total -= measure;
  owners.lowest = openAncestor(owners.lowest);
  owners.onlyHere = false;
  owners.last = frame.folder;
}

void SpaceLedger::splitAt(uint64_t at) {
  auto holder = segments_.upper_bound(at);
  if (holder == segments_.begin()) {
    return;
  }
  --holder;
  if (holder->first < at && at < holder->second.end) {
    Segment tail = holder->second;
    holder->second.end = at;
    segments_.emplace_hint(std::next(holder), at, tail);
  }
}

void SpaceLedger::mergeRange(uint64_t start, uint64_t end) {
  auto at = segments_.lower_bound(start);
  if (at != segments_.begin()) {
    --at;
  }
  while (at != segments_.end() && at->first <= end) {
    const auto next = std::next(at);
    if (next != segments_.end() && at->second.end == next->first &&
        at->second.sameAs(next->second)) {
      at->second.end = next->second.end;
      segments_.erase(next);
    } else {
      at = next;
    }
  }
}

void SpaceLedger::addSharedRange(const PhysicalRange& range, bool newReference) {
  if (range.length == 0) {
    return;
  }
  const uint64_t end = range.start + std::min(range.length, ~range.start);
  splitAt(range.start);
  splitAt(end);
  uint64_t at = range.start;
  auto it = segments_.lower_bound(range.start);
  while (at < end) {
    if (it == segments_.end() || it->first > at) {
      // Nobody referenced these bytes before.
      Segment fresh;
      fresh.end = it == segments_.end() ? end : std::min(end, it->first);
      reference(fresh.owners, Measure{0, 0, static_cast<int64_t>(fresh.end - at)}, true);
      it = segments_.emplace_hint(it, at, fresh);
    } else {
      Segment& segment = it->second;
      reference(segment.owners, Measure{0, 0, static_cast<int64_t>(segment.end - it->first)},
                false);
      segment.seenTwice = segment.seenTwice || newReference;
    }
    at = it->second.end;
    ++it;
  }
  mergeRange(range.start, end);
}

std::optional<uint64_t> SpaceLedger::nameLinkedInode(dev_t device, ino_t inode) {
  const auto found = inodes_.find(InodeKey{device, inode});
  if (found == inodes_.end()) {
    return std::nullopt;
  }
  LinkedInode& node = found->second;
  node.namesSeen += 1;
  reference(node.owners, node.measure, false);
  uint64_t bytes = static_cast<uint64_t>(node.measure.allocatedBytes);
  for (const PhysicalRange& range : node.sharedRanges) {
    addSharedRange(range, false);
    bytes += range.length;
  }
  return bytes;
}

void SpaceLedger::addLinkedInode(dev_t device, ino_t inode, uint64_t links, const Measure& measure,
                                 std::vector<PhysicalRange> sharedRanges) {
  LinkedInode& node = inodes_[InodeKey{device, inode}];
  node.measure = measure;
  node.links = links;
  node.namesSeen = 1;
  node.sharedRanges = std::move(sharedRanges);
  reference(node.owners, node.measure, true);
  for (const PhysicalRange& range : node.sharedRanges) {
    addSharedRange(range, true);
  }
}

void SpaceLedger::markOutside(const PhysicalRange& range) {
  const uint64_t end = range.start + std::min(range.length, ~range.start);
  splitAt(range.start);
  splitAt(end);
  for (auto it = segments_.lower_bound(range.start); it != segments_.end() && it->first < end;
       ++it) {
    it->second.outside = true;
  }
  mergeRange(range.start, end);
}

std::vector<SpaceLedger::ExclusiveChange> SpaceLedger::finish() {
  assert(stack_.empty());
  std::vector<int64_t> exclusive(parent_.size(), 0);
  std::vector<int64_t> exclusiveHere(parent_.size(), 0);
  auto credit = [&](const Owners& owners, int64_t bytes) {
    exclusive[owners.lowest] += bytes;
    if (owners.onlyHere) {
      exclusiveHere[owners.lowest] += bytes;
    }
  };
  // An inode with a name outside the walk is not freed by deleting anything inside it, and
  // neither are its shared ranges.
  for (const auto& [key, node] : inodes_) {
    if (node.namesSeen < node.links) {
      for (const PhysicalRange& range : node.sharedRanges) {
        markOutside(range);
      }
    } else {
      credit(node.owners, node.measure.allocatedBytes);
    }
  }
  // A range that the file system calls shared but that one inode alone references here is
  // shared with something outside the walk (a snapshot or copy elsewhere).
  for (const auto& [start, segment] : segments_) {
    if (segment.seenTwice && !segment.outside) {
      credit(segment.owners, static_cast<int64_t>(segment.end - start));
    }
  }
  inodes_.clear();
  segments_.clear();

  // Folders are numbered after their parents, so one backward pass adds up the subtrees.
  for (size_t folder = parent_.size(); folder-- > 1;) {
    exclusive[parent_[folder]] += exclusive[folder];
  }
  std::vector<ExclusiveChange> changes;
  for (size_t folder = 0; folder < parent_.size(); ++folder) {
    if (exclusive[folder] != 0 || exclusiveHere[folder] != 0) {
      changes.push_back(
          ExclusiveChange{static_cast<Folder>(folder), exclusive[folder], exclusiveHere[folder]});
    }
  }
  return changes;
}

}  // namespace tamber::engine
