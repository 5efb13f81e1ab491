#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace tamber::engine {

// The inventory's commands of larkspan. Each writes its result on standard output and its
// complaints, as one sentence after "larkspan: ", on standard error, and returns the exit
// status: 0 done, 1 failed. Paths are absolute; the data directory exists.

// serve: the HTTP interface on 127.0.0.1:`port` with `invitation` as its identity probe's
// text, and the index of `root` kept current every `interval`, until SIGTERM, SIGINT or
// SIGHUP; those end it cleanly with status 0. Must be called before any other thread exists.
int runServe(const std::string& root, const std::string& dataDir, std::string invitation, int port,
             std::chrono::seconds interval);

// index: one index run of `root`, kept in the data directory and printed (folderReport's
// object with `json`).
int runIndex(const std::string& root, const std::string& dataDir, bool json);

// inventory: prints `folder` of the index kept in the data directory (the indexed folder when
// empty): folderReport's object with `json`. With `root`, refuses an index of another folder.
int runInventory(const std::string& dataDir, const std::optional<std::string>& root,
                 const std::string& folder, bool json);

}  // namespace tamber::engine
