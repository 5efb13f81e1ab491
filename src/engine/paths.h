#pragma once

#include <string>

namespace tamber::engine {

// `path` made absolute against the working directory and lexically normalised ("." and ".."
// resolved by name, no trailing slash); links are not resolved.
std::string absolutePath(const std::string& path);

// The absolute path of the running larkspan, for command lines that others will run;
// `program` (argv[0]) stands in when the system cannot tell.
std::string engineExecutable(const std::string& program);

// Creates the data directory `dataDir` (mode 0700, parents as needed) unless it exists.
// Throws BrokerFailure with the system's error text.
void ensureDataDirectory(const std::string& dataDir);

}  // namespace tamber::engine
