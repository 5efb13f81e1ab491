#include "platform/process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cerrno>

#include "platform/spawn_setup.h"
#include "platform/unique_fd.h"

extern char** environ;

namespace tamber {
namespace {

constexpr int kCouldNotStart = 127;

}  // namespace

ProcessResult runProcess(const std::vector<std::string>& argv) {
  assert(!argv.empty() && argv.front().starts_with('/'));
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) {
    return ProcessResult{kCouldNotStart, {}};
  }
  UniqueFd readEnd(ends[0]);
  UniqueFd writeEnd(ends[1]);

  const SpawnSetup setup(writeEnd.get(), /*discardErrors=*/false);
  if (setup.error() != 0) {
    return ProcessResult{kCouldNotStart, {}};
  }

  std::vector<char*> arguments;
  arguments.reserve(argv.size() + 1);
  for (const std::string& argument : argv) {
    arguments.push_back(const_cast<char*>(argument.c_str()));
  }
  arguments.push_back(nullptr);

  pid_t child = -1;
  const int spawned = ::posix_spawn(&child, argv.front().c_str(), setup.actions(),
                                    setup.attributes(), arguments.data(), environ);
  // Our copy of the write end must go, or the read below never sees end of file.
  writeEnd.reset();
  if (spawned != 0) {
    return ProcessResult{kCouldNotStart, {}};
  }

  ProcessResult result;
  char buffer[16384];
  for (;;) {
    const ssize_t n = ::read(readEnd.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      break;
    }
    const size_t room = kMaxCapturedOutput - result.output.size();
    result.output.append(buffer, std::min(room, static_cast<size_t>(n)));
  }
  readEnd.reset();

  int waitStatus = 0;
  pid_t waited;
  do {
    waited = ::waitpid(child, &waitStatus, 0);
  } while (waited < 0 && errno == EINTR);
  result.status = waited == child ? exitStatusOf(waitStatus) : kCouldNotStart;
  return result;
}

}  // namespace tamber
