#pragma once

namespace tamber {

// The processors this process may run on: those of its affinity mask (a container's cpuset,
// `taskset`), not every processor the machine has. At least 1.
unsigned usableCores() noexcept;

}  // namespace tamber
