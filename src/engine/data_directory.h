#pragma once

#include <string>

namespace tamber::engine {

// Creates the data directory `dataDir` (mode 0700, parents as needed) unless it exists.
// Throws Failure with the system's error text.
void ensureDataDirectory(const std::string& dataDir);

}  // namespace tamber::engine
