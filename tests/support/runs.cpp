#include "support/runs.h"

#include <gtest/gtest.h>

namespace tamber::testing {

std::string tamberBinary() {
  return TAMBER_BINARY_DIR "/tamber";
}

std::string larkspanBinary() {
  return TAMBER_BINARY_DIR "/larkspan";
}

RunOptions asUser(uid_t user) {
  RunOptions options;
  options.user = user;
  return options;
}

RunOptions inFolder(std::string directory) {
  RunOptions options;
  options.directory = std::move(directory);
  return options;
}

BinaryRun runBinary(std::vector<std::string> argv, const RunOptions& options) {
  // Real tools change the user and the folder, so the process runner stays one for all.
  if (!options.directory.empty()) {
    argv.insert(argv.begin(), {"/usr/bin/env", "-C", options.directory});
  }
  if (options.user) {
    const std::string id = std::to_string(*options.user);
    argv.insert(argv.begin(),
                {"/usr/bin/setpriv", "--reuid=" + id, "--regid=" + id, "--clear-groups"});
  }
  const ProcessResult result =
      runProcess(argv, {options.environment, ProcessOptions::Errors::capture, options.limit});
  if (result.startError != 0) {
    ADD_FAILURE() << "could not start " << argv.front();
  }
  if (result.timedOut) {
    ADD_FAILURE() << argv.front() << " did not finish within " << options.limit.count() << " ms";
  }
  return BinaryRun{result.status, result.output, result.errors};
}

BinaryRun runLarkspan(const std::vector<std::string>& arguments,
                      const EnvironmentChanges& environment) {
  std::vector<std::string> argv = arguments;
  argv.insert(argv.begin(), larkspanBinary());
  RunOptions options;
  options.environment = environment;
  return runBinary(argv, options);
}

}  // namespace tamber::testing
