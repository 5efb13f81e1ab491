// The ledger's counts against a count done the slow, obvious way: random walks whose files
// reference random pieces of a small disk, alone, through shared ranges and through inodes
// with several names, some of them outside the tree.
#include "engine/inventory/space_ledger.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <random>
#include <set>
#include <vector>

namespace tamber::engine {
namespace {

constexpr uint64_t kUnit = 4096;  // the disk is counted in units of this many bytes
constexpr uint64_t kUnits = 48;

template <typename T>
T pick(std::mt19937& random, T low, T high) {
  return std::uniform_int_distribution<T>(low, high)(random);
}

std::vector<PhysicalRange> randomRanges(std::mt19937& random, int most) {
  std::vector<PhysicalRange> ranges(pick(random, 1, most));
  for (PhysicalRange& range : ranges) {
    const uint64_t first = pick<uint64_t>(random, 0, kUnits - 1);
    const uint64_t count = std::min<uint64_t>(pick<uint64_t>(random, 1, kUnits - first), 9);
    range = {first * kUnit, count * kUnit};
  }
  return ranges;
}

// A folder's total and its own entries' measure (files, logical and allocated bytes each),
// then its exclusive bytes and those of its own entries.
using Figures = std::array<int64_t, 8>;

void add(Figures& figures, size_t at, const Measure& measure) {
  figures[at] += measure.files;
  figures[at + 1] += measure.logicalBytes;
  figures[at + 2] += measure.allocatedBytes;
}

// A piece of space (an entry's own, a unit of the disk, an inode), the folders whose own
// entries reach it, and whether something outside the tree does too.
struct Piece {
  Measure measure;
  std::set<size_t> reachers;
  bool outside = false;
  uint64_t references = 0;
};

// The figures by definition: a folder counts each piece its subtree (or its own entries)
// reach once, and as exclusive when nothing else reaches it.
std::vector<Figures> obviousFigures(const std::vector<Piece>& pieces,
                                    const std::vector<size_t>& parent) {
  std::vector<Figures> figures(parent.size());
  for (size_t f = 0; f < figures.size(); ++f) {
    auto inside = [&](size_t folder) {
      for (; folder != f && folder != 0; folder = parent[folder]) {
      }
      return folder == f;
    };
    for (const Piece& piece : pieces) {
      if (std::ranges::any_of(piece.reachers, inside)) {
        add(figures[f], 0, piece.measure);
        if (!piece.outside && std::ranges::all_of(piece.reachers, inside)) {
          figures[f][6] += piece.measure.allocatedBytes;
        }
      }
      if (piece.reachers.contains(f)) {
        add(figures[f], 3, piece.measure);
        if (!piece.outside && piece.reachers.size() == 1) {
          figures[f][7] += piece.measure.allocatedBytes;
        }
      }
    }
  }
  return figures;
}

TEST(SpaceLedger, CountsEveryPieceOnceAndExclusiveOnlyWhatNothingOutsideReaches) {
  for (unsigned seed = 1; seed <= 3000; ++seed) {
    std::mt19937 random(seed);
    // Up to four inodes of one to four names, some with shared ranges.
    struct Inode {
      Piece piece;
      uint64_t links;
      std::vector<PhysicalRange> ranges;
    };
    std::vector<Inode> inodes(pick(random, 0, 4));
    for (Inode& inode : inodes) {
      const int64_t bytes = pick<int64_t>(random, 0, 5) * 1000;
      inode.piece.measure = {1, bytes + 7, bytes};
      inode.links = pick<uint64_t>(random, 1, 4);
      if (random() % 2 == 0) {
        inode.ranges = randomRanges(random, 2);
      }
    }
    // What the walk references, as the obvious count sees it. A unit that only one file
    // references is shared with something outside.
    std::vector<Piece> pieces;
    std::vector<Piece> units(kUnits, Piece{{0, 0, kUnit}, {}});
    auto reference = [&](const std::vector<PhysicalRange>& ranges, const Piece& file) {
      for (const PhysicalRange& range : ranges) {
        for (uint64_t u = range.start / kUnit; u < (range.start + range.length) / kUnit; ++u) {
          units[u].reachers.insert(file.reachers.begin(), file.reachers.end());
          units[u].references += 1;
          units[u].outside = units[u].outside || file.outside;
        }
      }
    };

    // The walk, depth first: each new folder hangs below one still open, which the walk
    // leaves down to it first. The ledger is driven as the indexer drives it.
    SpaceLedger ledger;
    std::vector<size_t> parent, open;
    std::vector<Figures> counted;
    auto leave = [&] {
      const SpaceLedger::FolderTotals totals = ledger.leave();
      add(counted[open.back()], 0, totals.total);
      add(counted[open.back()], 3, totals.here);
      counted[open.back()][6] += totals.exclusiveBytes;
      counted[open.back()][7] += totals.exclusiveHereBytes;
      open.pop_back();
    };
    for (size_t folder = 0, count = pick(random, 1, 14); folder < count; ++folder) {
      for (size_t keep = open.empty() ? 0 : pick<size_t>(random, 1, open.size());
           open.size() > keep;) {
        leave();
      }
      parent.push_back(open.empty() ? 0 : open.back());
      EXPECT_EQ(ledger.enter(), folder);
      open.push_back(folder);
      counted.emplace_back();
      for (int entries = pick(random, 0, 4); entries > 0; --entries) {
        const int kind = pick(random, 0, 2);
        Inode* inode =
            inodes.empty() ? nullptr : &inodes[pick<size_t>(random, 0, inodes.size() - 1)];
        if (kind == 1) {
          const std::vector<PhysicalRange> shared = randomRanges(random, 3);
          for (const PhysicalRange& range : shared) {
            ledger.addSharedRange(range);
          }
          reference(shared, Piece{{}, {folder}});
        } else if (kind == 2 && inode != nullptr && inode->piece.references < inode->links) {
          const size_t id = inode - inodes.data();
          const bool known = ledger.nameLinkedInode(1, id).has_value();
          EXPECT_EQ(known, inode->piece.references > 0);
          if (!known) {
            ledger.addLinkedInode(1, id, inode->links, inode->piece.measure, inode->ranges);
          }
          inode->piece.reachers.insert(folder);
          inode->piece.references += 1;
        } else {
          const int64_t bytes = pick<int64_t>(random, 0, 9) * 512;
          ledger.addOwn({1, bytes + 1, bytes});
          pieces.push_back(Piece{{1, bytes + 1, bytes}, {folder}});
        }
      }
    }
    while (!open.empty()) {
      leave();
    }
    for (const SpaceLedger::ExclusiveChange& change : ledger.finish()) {
      counted[change.folder][6] += change.exclusiveBytes;
      counted[change.folder][7] += change.exclusiveHereBytes;
    }

    for (Inode& inode : inodes) {
      if (inode.piece.references > 0) {
        inode.piece.outside = inode.piece.references < inode.links;
        reference(inode.ranges, inode.piece);
        pieces.push_back(inode.piece);
      }
    }
    for (Piece& unit : units) {
      unit.outside = unit.outside || unit.references < 2;
      pieces.push_back(unit);
    }
    ASSERT_EQ(counted, obviousFigures(pieces, parent)) << "seed " << seed;
  }
}

TEST(SpaceLedger, KeepsOneEntryForRangesWithTheSameOwners) {
  // A file of many extents and its copy in another folder: the ranges merge into one.
  SpaceLedger ledger;
  ledger.enter();
  for (int copy = 0; copy < 2; ++copy) {
    ledger.enter();
    for (uint64_t i = 0; i < 1000; ++i) {
      ledger.addSharedRange({i * kUnit, kUnit});
    }
    EXPECT_EQ(ledger.trackedObjects(), 1u) << "copy " << copy;
    ledger.leave();
  }
}

}  // namespace
}  // namespace tamber::engine
