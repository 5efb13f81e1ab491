#pragma once

#include <string>

#include "engine/inventory/index_service.h"

namespace tamber::engine {

// What the page is asked to show.
struct PageRequest {
  std::string path;          // a folder of the index, relative to the indexed folder, as
                             // findFolder takes it (an address); "" for the indexed folder
  bool allChildren = false;  // every subfolder, not only the largest
};

struct RenderedPage {
  int status = 200;  // 404 for a folder that is not in the index
  std::string html;
};

// The inventory page for one folder of the last complete index in `state`: a breadcrumb back
// to the indexed folder, "#indexed" saying what was indexed and when, the progress of a run
// under way, the folder's space on disk and how much of it other folders share, a treemap
// drawn by the page's script, the link to the agent activity view with today's count of
// agents' changes, one ".entry" row for the folder's total (always, even before
// the first run has finished) and one per subfolder (largest first, the largest 100 unless
// all are asked for) and for the files directly in it, and the largest files below it.
// Every name and path is escaped as text, shown as validUtf8 makes it and linked by its address
// (so names that look alike lead to their own folders); the page loads its script and style
// from the engine, never inline, and links only to itself.
RenderedPage renderPage(const IndexService::State& state, const PageRequest& request);

// The one-line summary shown in "#indexed".
std::string indexedSummary(const IndexService::State& state);

// "Scanning: 12,345 entries so far, 3.2 s." while a run is under way; empty otherwise.
std::string progressText(const IndexService::State& state);

}  // namespace tamber::engine
