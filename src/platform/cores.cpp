#include "platform/cores.h"

#include <sched.h>

#include <algorithm>
#include <thread>

namespace tamber {

unsigned usableCores() noexcept {
  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  if (::sched_getaffinity(0, sizeof allowed, &allowed) == 0) {
    return std::max(1, CPU_COUNT(&allowed));
  }
  return std::max(1u, std::thread::hardware_concurrency());
}

}  // namespace tamber
