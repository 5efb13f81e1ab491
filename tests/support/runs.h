#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "platform/process.h"

namespace tamber::testing {

// The built executables.
std::string tamberBinary();
std::string larkspanBinary();

// The user tests switch to when they need someone other than root.
inline constexpr uid_t kNobody = 65534;

struct BinaryRun {
  int status = -1;  // exit status, 128 + signal; -1 when it did not end in time
  std::string out;
  std::string err;
};

struct RunOptions {
  EnvironmentChanges environment;
  std::optional<uid_t> user;  // run as this user and its group (through setpriv); needs root
  std::string directory;      // working directory (through env -C); empty keeps the test's
  std::chrono::milliseconds limit = std::chrono::seconds(30);
};

// Options that run as `user`, or in `directory`.
RunOptions asUser(uid_t user);
RunOptions inFolder(std::string directory);

// Runs argv[0] (an absolute path) with `argv` to its end, capturing standard output and
// standard error. A run that cannot start or outlives its limit fails the test.
BinaryRun runBinary(std::vector<std::string> argv, const RunOptions& options = {});

// runBinary of larkspan with `arguments` (the program itself not included).
BinaryRun runLarkspan(const std::vector<std::string>& arguments,
                      const EnvironmentChanges& environment = {});

}  // namespace tamber::testing
