#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "access/reply.h"

namespace tamber::engine {

// Space taken below one place of the indexed folder, on the folder's own file system.
// Every inode is counted once, however many hard links name it.
struct Usage {
  uint64_t files = 0;              // everything that is not a folder: files, links, sockets...
  uint64_t folders = 0;            // folders, a top-level folder included
  uint64_t logicalBytes = 0;       // the sizes of the regular files
  uint64_t allocatedBytes = 0;     // blocks on disk of everything counted, folders included
  uint64_t unreadableFolders = 0;  // folders that could not be read, or not to the end
  uint64_t otherFileSystems = 0;   // folders where another file system is mounted: not entered

  void add(const Usage& other);
  bool operator==(const Usage&) const = default;
};

enum class EntryKind { folder, file, link, other };

// The kind's name as stored and served: "folder", "file", "link" or "other". The page uses it
// as the row's class too.
const char* kindName(EntryKind kind);

// One top-level entry of the indexed folder. `name` is valid UTF-8: ill-formed bytes of the
// name on disk are shown as U+FFFD.
struct InventoryEntry {
  std::string name;
  EntryKind kind = EntryKind::other;
  Usage usage;
};

// The result of one index run.
struct Inventory {
  std::string root;        // the indexed folder as given, absolute, valid UTF-8
  int64_t startedAt = 0;   // Unix time, seconds
  int64_t finishedAt = 0;  // Unix time, seconds
  int64_t durationMs = 0;  // wall time of the run
  std::string error;       // why the root itself could not be read; empty when it could
  Usage total;             // the root folder itself and everything below it
  std::vector<InventoryEntry> entries;  // most allocated bytes first, then by name
};

// Orders `entries` as Inventory::entries promises.
void sortEntries(std::vector<InventoryEntry>& entries);

// The JSON form, the same on disk, on the command line and in the HTTP interface:
// {"format", "root", "started_at", "finished_at", "finished_at_utc", "duration_ms",
//  "error" (only when set), "total": usage, "entries": [{"name", "kind", ...usage}]}, with
// usage as "files", "folders", "logical_bytes", "allocated_bytes", "unreadable_folders",
// "other_file_systems".
Json inventoryJson(const Inventory& inventory);

// Reads the JSON form back; nullopt when it is not one written by inventoryJson.
std::optional<Inventory> inventoryFromJson(const Json& json);

// Where the last inventory of the data directory `dataDir` is kept.
std::string inventoryFilePath(const std::string& dataDir);

// The inventory kept in `dataDir`, or nullopt when there is none or it cannot be read.
std::optional<Inventory> loadInventory(const std::string& dataDir);

// Replaces the inventory kept in `dataDir` atomically: a reader sees the old file or the new
// one, never a part. Creates the file with mode 0600. Throws BrokerFailure with the system's
// error text. Call it from one thread at a time for a given `dataDir`.
void saveInventory(const std::string& dataDir, const Inventory& inventory);

}  // namespace tamber::engine
