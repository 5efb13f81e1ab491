#pragma once

#include <cstddef>
#include <limits>
#include <string>
#include <vector>

#include "base/reply.h"
#include "engine/inventory/index_store.h"

namespace tamber::engine {

// One folder of the index kept in the data directory `dataDir`, as the command line
// (`larkspan --json inventory --path FOLDER`), the HTTP interface and agents see it.
//
// `folder` names the folder: empty (or the indexed folder's own path) for the indexed folder;
// otherwise a path inside it, absolute or relative to the indexed folder ("Projects/site").
// Folders are named by address (see addressOf in base/text.h): names that are not UTF-8 are
// written with U+FFFD and the hexadecimal digits of each byte that is not, so that two of them
// never read the same. A path that is not UTF-8 at all is taken as the bytes themselves.
//
// The report is an object:
//   "root": the indexed folder; "path": this folder's absolute path;
//   "finished_at" (Unix seconds), "finished_at_utc", "duration_ms": the index run;
//   "file_system", "extent_maps": true when space comes from extent maps (shared extents
//     counted once), false when from each inode's blocks;
//   "usage": the folder and everything below it: "files", "folders", "logical_bytes",
//     "allocated_bytes" (space on disk, each extent once), "exclusive_bytes" (what nothing
//     outside the folder references: what deleting it would free), "shared_bytes" (the rest),
//     "unreadable_folders", "other_file_systems", "unmapped_files";
//   "files_here": "files", "logical_bytes", "allocated_bytes", "exclusive_bytes" of the
//     folder's own entry and the files directly in it;
//   "children": every subfolder, most space on disk first, each "name" plus its usage's keys;
//   "child_count": how many subfolders there are;
//   "largest_files": the 20 largest files anywhere below (for a folder of 20 files or fewer,
//     those of at least 1 MiB), each "path" (relative to this folder), "logical_bytes" and
//     "allocated_bytes";
//   "error": only when the indexed folder itself could not be read (the report then has no
//     usage, children or files).
// Every name and path of the report ("root", "path", children's "name", files' "path") is an
// address, which names the folder again exactly; the same text with each U+FFFD's digits left
// out is what the name looks like.
//
// "children" holds at most `childLimit` subfolders, the largest; "child_count" still counts
// them all.
//
// Throws Failure with one sentence when there is no index yet, when it cannot be read,
// or when `folder` is not a folder of it. Any thread; reads the kept index file afresh.
Json folderReport(const std::string& dataDir, const std::string& folder,
                  size_t childLimit = std::numeric_limits<size_t>::max());

// The parts of folderReport, for readers that hold the index open.

// The folder that `folder` names (as above). Throws Failure when there is none, with `folder`
// as asked for (its address when it is not UTF-8).
FolderRecord findFolder(IndexReader& reader, const std::string& folder);

// The names from the indexed folder down to `folder`, as on disk; empty for the indexed folder.
std::vector<std::string> folderNames(IndexReader& reader, const FolderRecord& folder);

// The absolute path of the folder with these names below `root`, as on disk.
std::string joinedPath(const std::string& root, const std::vector<std::string>& names);

// folderReport's object for `folder`, with at most `childLimit` children. Of the `innerLimit`
// largest children, each that has subfolders lists its `innerLimit` largest as "children" too,
// each with its "name" and "allocated_bytes" only (a picture two levels deep wants no more).
Json folderJson(IndexReader& reader, const FolderRecord& folder, size_t childLimit,
                size_t innerLimit = 0);

// The usage keys of folderReport.
Json usageJson(const Usage& usage);

}  // namespace tamber::engine
