#include "platform/spawn_setup.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>

#include <initializer_list>

namespace tamber {

SpawnSetup::SpawnSetup(int outputFD, bool discardErrors) {
  ::posix_spawn_file_actions_init(&actions_);
  ::posix_spawnattr_init(&attributes_);
  const auto step = [this](int result) {
    if (error_ == 0) {
      error_ = result;
    }
  };
  // The output goes to descriptor 1 before /dev/null takes 0 and 2, so an output descriptor
  // that landed on 0 or 2 (a parent started without them) is copied before it is replaced.
  step(::posix_spawn_file_actions_adddup2(&actions_, outputFD, 1));
  step(::posix_spawn_file_actions_addopen(&actions_, 0, "/dev/null", O_RDONLY, 0));
  if (discardErrors) {
    step(::posix_spawn_file_actions_addopen(&actions_, 2, "/dev/null", O_WRONLY, 0));
  }
  step(::posix_spawn_file_actions_addclosefrom_np(&actions_, 3));

  sigset_t none;
  ::sigemptyset(&none);
  sigset_t defaults;
  ::sigemptyset(&defaults);
  for (int signal :
       {SIGPIPE, SIGALRM, SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGCHLD, SIGUSR1, SIGUSR2}) {
    ::sigaddset(&defaults, signal);
  }
  step(::posix_spawnattr_setsigmask(&attributes_, &none));
  step(::posix_spawnattr_setsigdefault(&attributes_, &defaults));
  step(::posix_spawnattr_setflags(&attributes_, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF));
}

SpawnSetup::~SpawnSetup() {
  ::posix_spawn_file_actions_destroy(&actions_);
  ::posix_spawnattr_destroy(&attributes_);
}

int exitStatusOf(int waitStatus) {
  return WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : 128 + WTERMSIG(waitStatus);
}

}  // namespace tamber
