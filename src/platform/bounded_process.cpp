#include "platform/bounded_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <thread>

#include "platform/process.h"
#include "platform/spawn_setup.h"
#include "platform/unique_fd.h"

extern char** environ;

namespace tamber {
namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::string> environmentWith(
    const std::vector<std::pair<std::string, std::string>>& overrides) {
  std::vector<std::string> entries;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    const std::string_view text = *entry;
    const std::string_view name = text.substr(0, text.find('='));
    const bool replaced = std::any_of(overrides.begin(), overrides.end(),
                                      [&](const auto& item) { return item.first == name; });
    if (!replaced) {
      entries.emplace_back(text);
    }
  }
  for (const auto& [name, value] : overrides) {
    entries.push_back(name + "=" + value);
  }
  return entries;
}

int millisecondsUntil(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
  return static_cast<int>(std::max<std::chrono::milliseconds::rep>(0, left.count()));
}

// Kills and reaps a child that ran out of time. SIGKILL cannot be caught, so the wait ends.
void killAndReap(pid_t child) {
  ::kill(child, SIGKILL);
  while (::waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace

BoundedRunResult runProcessWithin(const std::vector<std::string>& argv,
                                  const std::vector<std::pair<std::string, std::string>>& overrides,
                                  std::chrono::milliseconds limit) {
  assert(!argv.empty());
  const Clock::time_point deadline = Clock::now() + limit;
  int ends[2];
  BoundedRunResult result;
  if (::pipe2(ends, O_CLOEXEC) != 0) {
    result.startError = errno;
    return result;
  }
  UniqueFd readEnd(ends[0]);
  UniqueFd writeEnd(ends[1]);

  const SpawnSetup setup(writeEnd.get(), /*discardErrors=*/true);
  if (setup.error() != 0) {
    result.startError = setup.error();
    return result;
  }

  std::vector<char*> arguments;
  for (const std::string& argument : argv) {
    arguments.push_back(const_cast<char*>(argument.c_str()));
  }
  arguments.push_back(nullptr);
  std::vector<std::string> environment = environmentWith(overrides);
  std::vector<char*> envp;
  for (std::string& entry : environment) {
    envp.push_back(entry.data());
  }
  envp.push_back(nullptr);

  pid_t child = -1;
  // glibc reports a failed exec (a missing program) here too, not as exit status 127.
  const int spawned = ::posix_spawn(&child, argv.front().c_str(), setup.actions(),
                                    setup.attributes(), arguments.data(), envp.data());
  if (spawned != 0) {
    result.startError = spawned;
    return result;
  }
  // Our copy of the write end must go, or the read below never sees the end of the output.
  writeEnd.reset();

  char buffer[16384];
  for (;;) {
    pollfd readable{readEnd.get(), POLLIN, 0};
    const int ready = ::poll(&readable, 1, millisecondsUntil(deadline));
    if (ready < 0 && errno == EINTR) {
      continue;
    }
    if (ready == 0 && Clock::now() >= deadline) {
      killAndReap(child);
      result.timedOut = true;
      return result;
    }
    if (ready <= 0) {
      continue;
    }
    const ssize_t count = ::read(readEnd.get(), buffer, sizeof buffer);
    if (count < 0 && (errno == EINTR || errno == EAGAIN)) {
      continue;
    }
    if (count <= 0) {
      break;
    }
    const size_t room = kMaxCapturedOutput - result.output.size();
    result.output.append(buffer, std::min(room, static_cast<size_t>(count)));
  }
  readEnd.reset();

  // The output is closed; the exit normally follows at once, but a child may close its
  // output and linger, so the wait is bounded by the same deadline.
  for (;;) {
    int waitStatus = 0;
    const pid_t waited = ::waitpid(child, &waitStatus, WNOHANG);
    if (waited == child) {
      result.status = exitStatusOf(waitStatus);
      return result;
    }
    if (waited < 0 && errno != EINTR) {
      // Someone else reaped it (a process-wide SIGCHLD reaper); its status is gone.
      result.status = -1;
      return result;
    }
    if (Clock::now() >= deadline) {
      killAndReap(child);
      result.timedOut = true;
      return result;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

}  // namespace tamber
