#include "engine/inventory/worker_pool.h"

#include <algorithm>

#include "platform/cores.h"

namespace tamber::engine {

unsigned helpersForThisMachine() {
  const unsigned cores = usableCores();
  return cores <= 1 ? 0 : std::min(cores - 1, 3u);
}

}  // namespace tamber::engine
