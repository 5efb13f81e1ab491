#pragma once

#include <string>

namespace tamber::engine {

// Readies the data directory `dataDir` (absolute) for a command, as the desktop readies it:
// with `create`, makes it (mode 0700, parents as needed) when it is missing; then requires it
// to be the user's own and no symbolic link, and tightens it to 0700
// (makeDataDirectoryPrivate). Without `create` a missing directory is left missing, for the
// command to say what it lacks. Throws Failure: BrokerFailure with makeDataDirectoryPrivate's
// sentences, or the system's error text.
void prepareDataDirectory(const std::string& dataDir, bool create);

}  // namespace tamber::engine
