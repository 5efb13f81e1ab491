#pragma once

#include <chrono>
#include <string>
#include <utility>
#include <vector>

namespace tamber {

// How a run under a time limit ended.
struct BoundedRunResult {
  // Nonzero when the child could not be started (a missing or non-executable program
  // included): the error number; nothing else is set then.
  int startError = 0;
  // True when the limit passed before the child had closed its output and exited; the child
  // was then killed and reaped, and `status` and `output` mean nothing.
  bool timedOut = false;
  // The exit status (0 to 255), or 128 + the signal number when a signal ended the child;
  // -1 when the exit could not be observed because something else in this process reaped
  // the child.
  int status = 0;
  // Everything the child wrote to its standard output (at most kMaxCapturedOutput bytes are
  // kept, the rest is read and dropped).
  std::string output;
};

// Runs the program at the absolute path argv[0] (no PATH search, no shell) with argv as its
// argument vector and this process's environment, in which each of `overrides` replaces or
// adds one variable. The child gets /dev/null as standard input and standard error, a pipe
// as standard output, default signal handling and an empty signal mask, and no other
// descriptor. Reads the output to its end and then waits for the exit, both within `limit`
// counted from the start; when the limit passes first the child is killed (SIGKILL) and
// reaped before this returns, so no run outlives its call.
//
// Blocks the calling thread; safe on any thread. `argv` must not be empty.
BoundedRunResult runProcessWithin(const std::vector<std::string>& argv,
                                  const std::vector<std::pair<std::string, std::string>>& overrides,
                                  std::chrono::milliseconds limit);

}  // namespace tamber
