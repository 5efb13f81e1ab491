#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace tamber::engine {

// The activity journal's commands of larkspan (see activity/journal.h). Each writes its result
// on standard output and its complaints, as one sentence after "larkspan: ", on standard error,
// and returns the exit status: 0 done, 1 failed. The data directory is absolute.

// activity: every grant the journal holds (or only `grantId`), newest first, each with its
// folders, mode, start and end, and its entries: each change on a line with its id, and the
// requests between changes folded into one line. With `json`, activityJson's object.
int runActivity(const std::string& dataDir, const std::optional<std::string>& grantId, bool json);

// undo: undoes change `changeId` by the rules of activity/undo.h, recorded as done by the
// user with larkspan undo, and prints what was done; a refusal is the failure's sentence.
int runUndo(const std::string& dataDir, std::int64_t changeId);

}  // namespace tamber::engine
