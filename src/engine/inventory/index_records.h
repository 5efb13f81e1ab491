#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace tamber::engine {

// Space below one folder of the index, on the indexed folder's file system (subvolumes of the
// same mount included, other mounts not entered).
struct Usage {
  uint64_t files = 0;              // everything that is not a folder; each inode once
  uint64_t folders = 0;            // folders below this one
  uint64_t logicalBytes = 0;       // the sizes of the regular files
  uint64_t allocatedBytes = 0;     // space on disk, each extent once (each inode once where the
                                   // file system keeps no shared extents); folders included
  uint64_t exclusiveBytes = 0;     // the part of that which nothing outside the folder references
  uint64_t unreadableFolders = 0;  // folders that could not be read, or not to the end
  uint64_t otherFileSystems = 0;   // folders where another file system is mounted: not entered
  uint64_t unmappedFiles = 0;      // files whose extent map could not be read: counted by blocks

  bool operator==(const Usage&) const = default;
};

// One folder of the index. Folders are numbered in the order the walk entered them, the
// indexed folder itself 0, so that a folder's subtree is the numbers from its own to
// `lastDescendant`.
struct FolderRecord {
  uint32_t id = 0;
  std::optional<uint32_t> parent;  // empty for the indexed folder
  std::string name;                // as the file system has it: bytes, not always UTF-8
  uint32_t lastDescendant = 0;
  Usage usage;             // the folder and everything below it
  Usage here;              // the folder's own entry and the files directly in it: files,
                           // logicalBytes, allocatedBytes and exclusiveBytes only
  uint64_t keptFiles = 0;  // file records kept for this subtree
};

// A folder's largest files are the twenty largest below it. A folder that holds twenty files
// or fewer (hard links once) lists only those of at least kListedFileBytes: the index keeps no
// record of a small file in a small folder.
inline constexpr size_t kLargestFilesListed = 20;
inline constexpr uint64_t kListedFileBytes = 1024 * 1024;

// One of the largest files of some folder's subtree.
struct FileRecord {
  uint32_t folder = 0;  // the folder the file is in
  std::string name;     // as the file system has it
  uint64_t logicalBytes = 0;
  uint64_t allocatedBytes = 0;  // its extents (or blocks), each once
  // A file of several names: a number its other names in the index share, so that it is
  // listed once; 0 for a file of one name.
  uint64_t link = 0;
};

// What one index run was and how it ended.
struct ScanRecord {
  std::string root;         // the indexed folder, absolute, as given (bytes)
  int64_t startedAt = 0;    // Unix time, seconds
  int64_t finishedAt = 0;   // Unix time, seconds
  int64_t durationMs = 0;   // wall time of the run
  std::string error;        // why the indexed folder itself could not be read; empty when it could
  std::string fileSystem;   // "ext4", "xfs", "btrfs", ...; empty when unknown
  bool extentMaps = false;  // space measured from extent maps (shared extents once), not blocks
  Usage total;              // the indexed folder's usage (its folder record's)
};

}  // namespace tamber::engine
