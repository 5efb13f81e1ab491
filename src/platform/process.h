#pragma once

#include <string>
#include <vector>

namespace tamber {

// What a finished child process left behind.
struct ProcessResult {
  // The exit status (0 to 255); 128 + the signal number when a signal ended the child; 127
  // when it could not be started at all (the shell's convention for a command that cannot
  // run).
  int status = 0;
  // Everything the child wrote to its standard output (at most kMaxCapturedOutput bytes are
  // kept; the rest is read and dropped so the child never blocks on a full pipe).
  std::string output;
};

inline constexpr size_t kMaxCapturedOutput = 16 * 1024 * 1024;

// Runs the program at the absolute path argv[0] (no PATH search, no shell) with argv as its
// argument vector and this process's environment. The child gets /dev/null as standard
// input, a pipe as standard output, this process's standard error, default signal handling
// and an empty signal mask, and no other descriptor. Blocks until the child has exited.
// Safe to call from any thread. `argv` must not be empty.
ProcessResult runProcess(const std::vector<std::string>& argv);

}  // namespace tamber
