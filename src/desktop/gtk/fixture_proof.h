#pragma once

namespace tamber::desktop {

class Desktop;

// The fixture-mode proof of the running window, scheduled two seconds after every finished
// load of the engine's page when TAMBER_FIXTURE_ROOT is set. Does nothing unless
// TAMBER_NATIVE_PROOF names a report file. Otherwise probes the page's DOM and, in the
// probe's completion, checks the page, the invitation and the agent path (blocking the UI
// thread while each engine run lasts, at most 10 seconds apiece), writes the report, then a
// PNG of the page beside it (the report path with ".png" added), and terminates the desktop.
// A failure writes "Native fixture failure: " and its text to standard error, no report and
// no snapshot, and terminates the desktop. Only the first call of a process runs a proof;
// later ones (from later page loads) do nothing, so one run decides. UI thread.
void fixtureProof(Desktop& desktop);

}  // namespace tamber::desktop
