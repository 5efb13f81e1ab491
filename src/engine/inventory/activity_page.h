#pragma once

#include <string>

#include "base/reply.h"
#include "engine/inventory/page.h"

namespace tamber::engine {

// The "Agent activity" view of the engine's page, from the activity journal in `dataDir`
// (see activity/journal.h), rendered at `nowMs`:
// - without `change`: every grant, newest first, with its folders, mode, start and end and its
//   counts of reads and changes; inside, every change in order (time, action, paths), each a
//   link to its details, and the requests between changes folded into one line that expands;
// - with `change` (a change id): that change's names, its unified diff (replace) or the text it
//   created (write_new), read back only while the files are what the agent left, and either
//   an "Undo" button (which asks the desktop through the page's bridge; the page itself
//   changes nothing), the note that it was undone, or why it cannot be undone. A change made
//   with administrator rights gets a note and no button.
// The recording notices (activity/journal.h journalNotices) head both. Every text from the
// journal or the files is escaped; the view loads its script and style from the engine.
// 404 for an unknown change; 503 when the journal cannot be read.
RenderedPage renderActivityPage(const std::string& dataDir, const std::string& change,
                                std::int64_t nowMs);

// The inventory page's link to the view: how many changes agents made today, and the
// recording notices. HTML, escaped.
std::string activityHeaderLink(const std::string& dataDir, std::int64_t nowMs);

// {"signature", "today_changes", "notices", "grants"}: the journal as `larkspan --json
// activity` prints it, with what the view's script watches ("signature" changes with every new
// entry and every undo).
Json activityStatusJson(const std::string& dataDir, std::int64_t nowMs);

}  // namespace tamber::engine
