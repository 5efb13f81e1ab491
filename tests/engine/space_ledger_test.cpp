// The ledger's counts against a count done the slow, obvious way: random trees whose files
// reference random pieces of a small disk, alone, through shared ranges and through inodes
// with several names, some of them outside the tree.
#include "engine/space_ledger.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <vector>

namespace tamber::engine {
namespace {

constexpr uint64_t kUnit = 4096;  // the disk is counted in units of this many bytes
constexpr uint64_t kUnits = 48;

struct Range {
  uint64_t first, count;  // units
};

struct Inode {
  uint64_t links;
  Measure measure;
  std::vector<Range> ranges;
};

struct Entry {
  enum Kind { own, shared, linked } kind = own;
  Measure measure;            // own
  std::vector<Range> ranges;  // shared: one file's shared extents
  size_t inode = 0;           // linked
};

struct Folder {
  std::vector<Entry> entries;
  std::vector<size_t> children;
  size_t parent = 0;
};

struct Tree {
  std::vector<Folder> folders;  // in the order the walk enters them
  std::vector<Inode> inodes;
};

template <typename T>
T pick(std::mt19937& random, T low, T high) {
  return std::uniform_int_distribution<T>(low, high)(random);
}

std::vector<Range> randomRanges(std::mt19937& random, int most) {
  std::vector<Range> ranges;
  for (int i = pick(random, 1, most); i > 0; --i) {
    const uint64_t first = pick<uint64_t>(random, 0, kUnits - 1);
    ranges.push_back({first, std::min<uint64_t>(pick<uint64_t>(random, 1, kUnits - first), 9)});
  }
  return ranges;
}

Tree randomTree(std::mt19937& random) {
  Tree tree;
  for (int i = pick(random, 0, 4); i > 0; --i) {
    const int64_t bytes = pick<int64_t>(random, 0, 5) * 1000;
    tree.inodes.push_back(Inode{0, Measure{1, bytes + 7, bytes}, {}});
    if (random() % 2 == 0) {
      tree.inodes.back().ranges = randomRanges(random, 2);
    }
  }
  // Depth first: each new folder hangs below a folder still on the path to the last one.
  std::vector<size_t> path;
  for (int i = pick(random, 1, 14); i > 0; --i) {
    Folder folder;
    if (!path.empty()) {
      path.resize(pick<size_t>(random, 1, path.size()));
      folder.parent = path.back();
      tree.folders[folder.parent].children.push_back(tree.folders.size());
    }
    for (int e = pick(random, 0, 4); e > 0; --e) {
      Entry entry;
      const int kind = pick(random, 0, 2);
      if (kind == 1) {
        entry.kind = Entry::shared;
        entry.ranges = randomRanges(random, 3);
      } else if (kind == 2 && !tree.inodes.empty()) {
        entry.kind = Entry::linked;
        entry.inode = pick<size_t>(random, 0, tree.inodes.size() - 1);
        tree.inodes[entry.inode].links += 1;
      } else {
        const int64_t bytes = pick<int64_t>(random, 0, 9) * 512;
        entry.measure = Measure{1, bytes + 1, bytes};
      }
      folder.entries.push_back(entry);
    }
    path.push_back(tree.folders.size());
    tree.folders.push_back(folder);
  }
  for (Inode& inode : tree.inodes) {
    inode.links += random() % 3 == 0 ? 1 : 0;  // sometimes a name outside the tree
  }
  return tree;
}

struct Figures {
  Measure total, here;
  int64_t exclusive = 0, exclusiveHere = 0;
  bool operator==(const Figures&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Figures& f) {
  return out << "total " << f.total.files << "/" << f.total.logicalBytes << "/"
             << f.total.allocatedBytes << " here " << f.here.files << "/" << f.here.logicalBytes
             << "/" << f.here.allocatedBytes << " exclusive " << f.exclusive << " here "
             << f.exclusiveHere;
}

// The ledger, driven as the walk drives it.
std::vector<Figures> ledgerFigures(const Tree& tree) {
  SpaceLedger ledger;
  std::vector<Figures> figures(tree.folders.size());
  std::vector<bool> inodeSeen(tree.inodes.size(), false);
  auto physical = [](const std::vector<Range>& ranges) {
    std::vector<PhysicalRange> bytes;
    for (const Range& range : ranges) {
      bytes.push_back({range.first * kUnit, range.count * kUnit});
    }
    return bytes;
  };
  auto walk = [&](auto& self, size_t index) -> void {
    EXPECT_EQ(ledger.enter(), index);
    for (const Entry& entry : tree.folders[index].entries) {
      if (entry.kind == Entry::own) {
        ledger.addOwn(entry.measure);
      } else if (entry.kind == Entry::shared) {
        for (const PhysicalRange& range : physical(entry.ranges)) {
          ledger.addSharedRange(range);
        }
      } else {
        const Inode& inode = tree.inodes[entry.inode];
        const bool known = ledger.nameLinkedInode(1, entry.inode).has_value();
        EXPECT_EQ(known, inodeSeen[entry.inode]);
        if (!known) {
          ledger.addLinkedInode(1, entry.inode, inode.links, inode.measure, physical(inode.ranges));
          inodeSeen[entry.inode] = true;
        }
      }
    }
    for (size_t child : tree.folders[index].children) {
      self(self, child);
    }
    const SpaceLedger::FolderTotals totals = ledger.leave();
    figures[index] =
        Figures{totals.total, totals.here, totals.exclusiveBytes, totals.exclusiveHereBytes};
  };
  walk(walk, 0);
  for (const SpaceLedger::ExclusiveChange& change : ledger.finish()) {
    figures[change.folder].exclusive += change.exclusiveBytes;
    figures[change.folder].exclusiveHere += change.exclusiveHereBytes;
  }
  return figures;
}

// The same figures by definition. Every piece of space (an entry's own, a unit of the disk, an
// inode) is reached by some folders' own entries, and perhaps from outside the tree; a folder
// counts each piece its subtree (or its own entries) reach once, and as exclusive when
// nothing else reaches it. A shared unit that only one file references is shared with
// something outside.
std::vector<Figures> obviousFigures(const Tree& tree) {
  struct Piece {
    std::set<size_t> reachers;
    Measure measure;
    bool outside = false;
    int references = 0;
  };
  std::vector<Piece> pieces;
  std::vector<Piece> units(kUnits, Piece{{}, Measure{0, 0, static_cast<int64_t>(kUnit)}});
  std::vector<Piece> inodes(tree.inodes.size());
  for (size_t f = 0; f < tree.folders.size(); ++f) {
    for (const Entry& entry : tree.folders[f].entries) {
      if (entry.kind == Entry::own) {
        pieces.push_back(Piece{{f}, entry.measure});
      } else if (entry.kind == Entry::linked) {
        inodes[entry.inode].reachers.insert(f);
        inodes[entry.inode].references += 1;
      }
      for (const Range& range : entry.ranges) {  // a shared entry's; the others have none
        for (uint64_t u = range.first; u < range.first + range.count; ++u) {
          units[u].reachers.insert(f);
          units[u].references += 1;
        }
      }
    }
  }
  for (size_t i = 0; i < inodes.size(); ++i) {
    Piece& inode = inodes[i];
    if (inode.references == 0) {
      continue;
    }
    inode.measure = tree.inodes[i].measure;
    inode.outside = static_cast<uint64_t>(inode.references) < tree.inodes[i].links;
    for (const Range& range : tree.inodes[i].ranges) {
      for (uint64_t u = range.first; u < range.first + range.count; ++u) {
        units[u].reachers.insert(inode.reachers.begin(), inode.reachers.end());
        units[u].references += 1;
        units[u].outside = units[u].outside || inode.outside;
      }
    }
    pieces.push_back(inode);
  }
  for (Piece& unit : units) {
    unit.outside = unit.outside || unit.references < 2;
    pieces.push_back(unit);
  }

  std::vector<Figures> figures(tree.folders.size());
  for (size_t f = 0; f < figures.size(); ++f) {
    auto inside = [&](size_t folder) {
      for (; folder != f && folder != 0; folder = tree.folders[folder].parent) {
      }
      return folder == f;
    };
    for (const Piece& piece : pieces) {
      if (std::any_of(piece.reachers.begin(), piece.reachers.end(), inside)) {
        figures[f].total += piece.measure;
        if (!piece.outside && std::all_of(piece.reachers.begin(), piece.reachers.end(), inside)) {
          figures[f].exclusive += piece.measure.allocatedBytes;
        }
      }
      if (piece.reachers.count(f) != 0) {
        figures[f].here += piece.measure;
        if (!piece.outside && piece.reachers.size() == 1) {
          figures[f].exclusiveHere += piece.measure.allocatedBytes;
        }
      }
    }
  }
  return figures;
}

TEST(SpaceLedger, CountsEveryPieceOnceAndExclusiveOnlyWhatNothingOutsideReaches) {
  for (unsigned seed = 1; seed <= 3000; ++seed) {
    std::mt19937 random(seed);
    const Tree tree = randomTree(random);
    const std::vector<Figures> expected = obviousFigures(tree);
    const std::vector<Figures> counted = ledgerFigures(tree);
    for (size_t f = 0; f < tree.folders.size(); ++f) {
      ASSERT_EQ(counted[f], expected[f]) << "seed " << seed << ", folder " << f;
    }
  }
}

TEST(SpaceLedger, KeepsOneEntryForRangesWithTheSameOwners) {
  // A file of many extents and its copy in another folder: the ranges merge into one.
  constexpr int64_t kBytes = 1000 * kUnit;
  SpaceLedger ledger;
  ledger.enter();
  for (int copy = 0; copy < 2; ++copy) {
    ledger.enter();
    for (uint64_t i = 0; i < 1000; ++i) {
      ledger.addSharedRange({i * kUnit, kUnit});
    }
    EXPECT_EQ(ledger.trackedObjects(), 1u) << "copy " << copy;
    EXPECT_EQ(ledger.leave().total.allocatedBytes, kBytes);
  }
  EXPECT_EQ(ledger.leave().total.allocatedBytes, kBytes);
  const std::vector<SpaceLedger::ExclusiveChange> changes = ledger.finish();
  ASSERT_EQ(changes.size(), 1u);
  EXPECT_EQ(changes[0].folder, 0u);
  EXPECT_EQ(changes[0].exclusiveBytes, kBytes);
}

}  // namespace
}  // namespace tamber::engine
