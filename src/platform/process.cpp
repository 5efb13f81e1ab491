#include "platform/process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cerrno>

#include "platform/unique_fd.h"

extern char** environ;

namespace tamber {
namespace {

constexpr int kCouldNotStart = 127;

class SpawnSetup {
 public:
  SpawnSetup() {
    ::posix_spawn_file_actions_init(&actions_);
    ::posix_spawnattr_init(&attributes_);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;
  ~SpawnSetup() {
    ::posix_spawn_file_actions_destroy(&actions_);
    ::posix_spawnattr_destroy(&attributes_);
  }

  posix_spawn_file_actions_t* actions() { return &actions_; }
  posix_spawnattr_t* attributes() { return &attributes_; }

 private:
  posix_spawn_file_actions_t actions_;
  posix_spawnattr_t attributes_;
};

int statusOf(int waitStatus) {
  if (WIFEXITED(waitStatus)) {
    return WEXITSTATUS(waitStatus);
  }
  if (WIFSIGNALED(waitStatus)) {
    return 128 + WTERMSIG(waitStatus);
  }
  return kCouldNotStart;
}

}  // namespace

ProcessResult runProcess(const std::vector<std::string>& argv) {
  assert(!argv.empty() && argv.front().starts_with('/'));
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) {
    return ProcessResult{kCouldNotStart, {}};
  }
  UniqueFd readEnd(ends[0]);
  UniqueFd writeEnd(ends[1]);

  SpawnSetup setup;
  // The pipe goes to descriptor 1 before /dev/null takes 0, so a pipe that landed on 0 (when
  // this process runs without standard input) is not closed before it is copied.
  bool ready =
      ::posix_spawn_file_actions_adddup2(setup.actions(), writeEnd.get(), 1) == 0 &&
      ::posix_spawn_file_actions_addopen(setup.actions(), 0, "/dev/null", O_RDONLY, 0) == 0 &&
      // Descriptors opened without O_CLOEXEC elsewhere (by libraries) must not reach a
      // child that may run as root.
      ::posix_spawn_file_actions_addclosefrom_np(setup.actions(), 3) == 0;

  // A child inherits ignored signals and the signal mask across exec; start it clean so that,
  // for example, an ignored SIGPIPE or a blocked SIGALRM in this process cannot change how the
  // child ends.
  sigset_t none;
  ::sigemptyset(&none);
  sigset_t defaults;
  ::sigemptyset(&defaults);
  for (int signal :
       {SIGPIPE, SIGALRM, SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGCHLD, SIGUSR1, SIGUSR2}) {
    ::sigaddset(&defaults, signal);
  }
  ready = ready && ::posix_spawnattr_setsigmask(setup.attributes(), &none) == 0 &&
          ::posix_spawnattr_setsigdefault(setup.attributes(), &defaults) == 0 &&
          ::posix_spawnattr_setflags(setup.attributes(),
                                     POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF) == 0;
  if (!ready) {
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
  result.status = waited == child ? statusOf(waitStatus) : kCouldNotStart;
  return result;
}

}  // namespace tamber
