#include "engine/inventory/worker_pool.h"

#include <algorithm>

namespace tamber::engine {

unsigned helpersForThisMachine() {
  const unsigned cores = std::thread::hardware_concurrency();
  return cores <= 1 ? 0 : std::min(cores - 1, 3u);
}

}  // namespace tamber::engine
