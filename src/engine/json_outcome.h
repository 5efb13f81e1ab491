#pragma once

#include <iosfwd>
#include <memory>

namespace tamber::engine {

// Keeps the promise of "--json": standard output carries one JSON object for every run,
// failures included. Commands complain on standard error, one sentence after "larkspan: ";
// while an outcome is active it passes both streams through unchanged and notes what went
// by, and finish() turns a failed run's first complaint into {"error": sentence} on
// standard output, unless the run already wrote its result there.
//
// Standard output and standard error are redirected for the object's life: make one, on
// the main thread, before the command runs.
class JsonOutcome {
 public:
  // Active only when `json`.
  explicit JsonOutcome(bool json);
  ~JsonOutcome();  // puts the streams back
  JsonOutcome(const JsonOutcome&) = delete;
  JsonOutcome& operator=(const JsonOutcome&) = delete;

  // Hands the streams back for good: a server's output (serve's log, mcp's protocol) is its
  // own.
  void release();

  // Returns `status`, the run's exit status, unchanged; for a failure (not 0) of an active
  // outcome that printed nothing on standard output, first prints the error object there.
  int finish(int status);

 private:
  class Tap;
  std::unique_ptr<Tap> out_;
  std::unique_ptr<Tap> err_;
};

}  // namespace tamber::engine
