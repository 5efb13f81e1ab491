// The ledger's counts against a count done the slow, obvious way: random trees whose files
// reference random pieces of a small disk, alone, through shared ranges and through inodes
// with several names, some of them outside the tree.
#include "engine/space_ledger.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <vector>

namespace tamber::engine {
namespace {

constexpr uint64_t kUnit = 4096;  // the disk is counted in units of this many bytes
constexpr uint64_t kUnits = 48;

struct Range {
  uint64_t first;  // units
  uint64_t count;
};

struct Inode {
  uint64_t links;
  Measure measure;
  std::vector<Range> ranges;
};

struct Entry {
  enum Kind { own, shared, linked } kind;
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

std::vector<Range> randomRanges(std::mt19937& random, int most) {
  std::vector<Range> ranges;
  for (int i = std::uniform_int_distribution<int>(1, most)(random); i > 0; --i) {
    const uint64_t first = std::uniform_int_distribution<uint64_t>(0, kUnits - 1)(random);
    const uint64_t count = std::uniform_int_distribution<uint64_t>(1, kUnits - first)(random);
    ranges.push_back({first, std::min<uint64_t>(count, 9)});
  }
  return ranges;
}

Tree randomTree(std::mt19937& random) {
  Tree tree;
  const int inodes = std::uniform_int_distribution<int>(0, 4)(random);
  for (int i = 0; i < inodes; ++i) {
    const int64_t bytes = std::uniform_int_distribution<int64_t>(0, 5)(random) * 1000;
    tree.inodes.push_back(Inode{0, Measure{1, bytes + 7, bytes}, {}});
    if (random() % 2 == 0) {
      tree.inodes.back().ranges = randomRanges(random, 2);
    }
  }
  // Depth first: each new folder hangs below a folder still on the path to the last one.
  std::vector<size_t> path;
  const int folders = std::uniform_int_distribution<int>(1, 14)(random);
  for (int i = 0; i < folders; ++i) {
    Folder folder;
    if (!path.empty()) {
      path.resize(std::uniform_int_distribution<size_t>(1, path.size())(random));
      folder.parent = path.back();
      tree.folders[folder.parent].children.push_back(tree.folders.size());
    }
    for (int e = std::uniform_int_distribution<int>(0, 4)(random); e > 0; --e) {
      Entry entry{Entry::own, {}, {}, 0};
      const int kind = std::uniform_int_distribution<int>(0, 2)(random);
      if (kind == 1) {
        entry.kind = Entry::shared;
        entry.ranges = randomRanges(random, 3);
      } else if (kind == 2 && !tree.inodes.empty()) {
        entry.kind = Entry::linked;
        entry.inode = std::uniform_int_distribution<size_t>(0, tree.inodes.size() - 1)(random);
        tree.inodes[entry.inode].links += 1;
      } else {
        const int64_t bytes = std::uniform_int_distribution<int64_t>(0, 9)(random) * 512;
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
  Measure total;
  Measure here;
  int64_t exclusive = 0;
  int64_t exclusiveHere = 0;
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
  auto walk = [&](auto& self, size_t index) -> void {
    EXPECT_EQ(ledger.enter(), index);
    for (const Entry& entry : tree.folders[index].entries) {
      if (entry.kind == Entry::own) {
        ledger.addOwn(entry.measure);
      } else if (entry.kind == Entry::shared) {
        for (const Range& range : entry.ranges) {
          ledger.addSharedRange({range.first * kUnit, range.count * kUnit});
        }
      } else {
        const Inode& inode = tree.inodes[entry.inode];
        const std::optional<uint64_t> known = ledger.nameLinkedInode(1, entry.inode);
        EXPECT_EQ(known.has_value(), inodeSeen[entry.inode]);
        if (!known) {
          std::vector<PhysicalRange> ranges;
          for (const Range& range : inode.ranges) {
            ranges.push_back({range.first * kUnit, range.count * kUnit});
          }
          ledger.addLinkedInode(1, entry.inode, inode.links, inode.measure, ranges);
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

// The same figures by definition: for every folder, the set of things its subtree (or its
// own entries) reach, and for each thing, whether anything outside reaches it.
std::vector<Figures> obviousFigures(const Tree& tree) {
  const size_t n = tree.folders.size();
  auto inside = [&](size_t folder, size_t ancestor) {
    for (;; folder = tree.folders[folder].parent) {
      if (folder == ancestor) {
        return true;
      }
      if (folder == 0) {
        return false;
      }
    }
  };
  // Who reaches each unit of the disk and each inode, and how often units are referenced.
  std::vector<std::set<size_t>> unitFolders(kUnits);
  std::vector<int> unitReferences(kUnits, 0);
  std::vector<bool> unitOutside(kUnits, false);
  std::vector<std::set<size_t>> inodeFolders(tree.inodes.size());
  std::vector<uint64_t> inodeNames(tree.inodes.size(), 0);
  for (size_t f = 0; f < n; ++f) {
    for (const Entry& entry : tree.folders[f].entries) {
      if (entry.kind == Entry::shared) {
        for (const Range& range : entry.ranges) {
          for (uint64_t u = range.first; u < range.first + range.count; ++u) {
            unitFolders[u].insert(f);
            unitReferences[u] += 1;
          }
        }
      } else if (entry.kind == Entry::linked) {
        inodeFolders[entry.inode].insert(f);
        inodeNames[entry.inode] += 1;
      }
    }
  }
  for (size_t i = 0; i < tree.inodes.size(); ++i) {
    if (inodeNames[i] == 0) {
      continue;
    }
    for (const Range& range : tree.inodes[i].ranges) {
      for (uint64_t u = range.first; u < range.first + range.count; ++u) {
        unitFolders[u].insert(inodeFolders[i].begin(), inodeFolders[i].end());
        unitReferences[u] += 1;
        unitOutside[u] = unitOutside[u] || inodeNames[i] < tree.inodes[i].links;
      }
    }
  }

  std::vector<Figures> figures(n);
  for (size_t f = 0; f < n; ++f) {
    Figures& out = figures[f];
    for (size_t g = 0; g < n; ++g) {
      for (const Entry& entry : tree.folders[g].entries) {
        if (entry.kind == Entry::own && inside(g, f)) {
          out.total += entry.measure;
          out.exclusive += entry.measure.allocatedBytes;
          if (g == f) {
            out.here += entry.measure;
            out.exclusiveHere += entry.measure.allocatedBytes;
          }
        }
      }
    }
    auto count = [&](const std::set<size_t>& reachers, const Measure& measure, bool outside) {
      const bool anyInside =
          std::any_of(reachers.begin(), reachers.end(), [&](size_t g) { return inside(g, f); });
      const bool allInside =
          std::all_of(reachers.begin(), reachers.end(), [&](size_t g) { return inside(g, f); });
      if (anyInside) {
        out.total += measure;
        out.exclusive += allInside && !outside ? measure.allocatedBytes : 0;
      }
      if (reachers.count(f) != 0) {
        out.here += measure;
        out.exclusiveHere += reachers.size() == 1 && !outside ? measure.allocatedBytes : 0;
      }
    };
    for (uint64_t u = 0; u < kUnits; ++u) {
      count(unitFolders[u], Measure{0, 0, static_cast<int64_t>(kUnit)},
            unitOutside[u] || unitReferences[u] < 2);
    }
    for (size_t i = 0; i < tree.inodes.size(); ++i) {
      if (inodeNames[i] > 0) {
        count(inodeFolders[i], tree.inodes[i].measure, inodeNames[i] < tree.inodes[i].links);
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
  // A file of many extents and its copy elsewhere: the ranges merge into one.
  SpaceLedger ledger;
  ledger.enter();
  ledger.enter();
  for (uint64_t i = 0; i < 1000; ++i) {
    ledger.addSharedRange({i * kUnit, kUnit});
  }
  ledger.leave();
  ledger.enter();
  for (uint64_t i = 0; i < 1000; ++i) {
    ledger.addSharedRange({i * kUnit, kUnit});
  }
  EXPECT_EQ(ledger.trackedObjects(), 1u);
  EXPECT_EQ(ledger.leave().total.allocatedBytes, static_cast<int64_t>(1000 * kUnit));
  const SpaceLedger::FolderTotals root = ledger.leave();
  EXPECT_EQ(root.total.allocatedBytes, static_cast<int64_t>(1000 * kUnit));
  const std::vector<SpaceLedger::ExclusiveChange> changes = ledger.finish();
  ASSERT_EQ(changes.size(), 1u);
  EXPECT_EQ(changes[0].folder, 0u);
  EXPECT_EQ(changes[0].exclusiveBytes, static_cast<int64_t>(1000 * kUnit));
}

}  // namespace
}  // namespace tamber::engine
