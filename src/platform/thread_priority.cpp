#include "platform/thread_priority.h"

#include <sys/resource.h>
#include <unistd.h>

namespace tamber {

void lowerCurrentThreadPriority() noexcept {
  // On Linux a thread's nice value is its own: PRIO_PROCESS with a thread id sets only it.
  ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), 10);
}

}  // namespace tamber
