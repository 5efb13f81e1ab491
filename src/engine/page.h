#pragma once

#include <string>

#include "engine/index_service.h"

namespace tamber::engine {

// The inventory page for `state`: one ".entry" row for the root's total (always, even before
// the first run has finished) and one per top-level entry, largest first, and "#indexed"
// saying what was indexed and when. Every name and path is escaped as text; the page loads
// its script and style from the engine, never inline.
std::string renderPage(const IndexService::State& state);

// The one-line summary shown in "#indexed".
std::string indexedSummary(const IndexService::State& state);

}  // namespace tamber::engine
