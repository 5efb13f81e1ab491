#pragma once

#include <spawn.h>

namespace tamber {

// The one way this layer prepares a child for posix_spawn: standard input from /dev/null,
// standard output to `outputFD`, standard error to /dev/null when `discardErrors` (inherited
// otherwise), no other descriptor, default handling for the usual signals and an empty mask.
// Descriptors opened without O_CLOEXEC by libraries, or ignored and blocked signals of this
// process, must not change what a child (possibly running as root) sees or how it ends.
class SpawnSetup {
 public:
  SpawnSetup(int outputFD, bool discardErrors);
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;
  ~SpawnSetup();

  // 0 when the setup is complete; otherwise the error number of the first step that failed.
  int error() const { return error_; }
  const posix_spawn_file_actions_t* actions() const { return &actions_; }
  const posix_spawnattr_t* attributes() const { return &attributes_; }

 private:
  posix_spawn_file_actions_t actions_;
  posix_spawnattr_t attributes_;
  int error_ = 0;
};

// A waitpid status as a shell reports it: the exit status, or 128 + the signal number.
int exitStatusOf(int waitStatus);

}  // namespace tamber
