#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

#include "engine/inventory/index_records.h"

namespace tamber::engine {

// Indexes the folder `root` (an absolute path; links in the path itself are followed) into
// the data directory `dataDir`, replacing the index kept there only when the run is
// complete. Below the root it follows no symbolic link and enters no other mount (subvolumes
// of the root's mount are entered), changes nothing, and counts:
// - on file systems that can share extents, every regular file's space from its extent map,
//   each extent once per folder (a file whose map cannot be read counts its blocks);
// - elsewhere, every inode's blocks, each inode once per folder.
// Every folder gets its usage, what nothing outside it references, and the usage of its own
// files; the largest files of every folder's subtree are kept (see kLargestFilesListed). Folders
// that cannot be read are counted as such and the run goes on; the walk holds a bounded number of
// descriptors however deep the tree. A root that cannot be opened gives an index whose record says
// why.
//
// One thread walks the tree while helper threads (one fewer than the machine has cores, at most
// three) and the calling thread read the entries' status and extent maps; the calling thread
// counts them in the walk's order and writes the index. Each regular file is opened at most
// once, and only when its extent map is wanted.
//
// `entriesSeen`, when given, counts the entries looked at so far, for progress. Returns the
// run's record, or nullopt, promptly and with nothing kept, once `stop` becomes true. Throws
// Failure when the index cannot be written. Safe on any thread; keeps no state.
std::optional<ScanRecord> indexFolder(const std::string& root, const std::string& dataDir,
                                      const std::atomic<bool>& stop,
                                      std::atomic<uint64_t>* entriesSeen = nullptr);

}  // namespace tamber::engine
