#pragma once

#include <atomic>
#include <optional>
#include <string>

#include "engine/inventory.h"

namespace tamber::engine {

// Measures the folder `root` (an absolute path; links in the path itself are followed) and
// each of its top-level entries. Below the root it follows no symbolic link, enters no other
// file system, opens no file (folders are read, everything else is only inspected), changes
// nothing, and counts every inode once. Folders that cannot be read are counted as such and
// the run goes on. A root that cannot be opened gives an inventory with `error` set.
// Returns nullopt, promptly, once `stop` becomes true. Safe on any thread; keeps no state.
std::optional<Inventory> indexFolder(const std::string& root, const std::atomic<bool>& stop);

}  // namespace tamber::engine
