#pragma once

#include <string>

namespace tamber {

inline constexpr const char* kDataDirectoryIsALink =
    "The data directory is a symbolic link; name the directory itself";
inline constexpr const char* kDataDirectoryOfAnotherUser =
    "The data directory belongs to another user";

// Makes the existing directory at `path` what a data directory must be before anything is
// kept in it or read from it: this process's (effective) user's own, mode 0700, and named
// itself, not through a symbolic link in its last component. A directory open to others is
// tightened to 0700 on the spot; a link, anything that is not a directory and a directory
// of another user are refused and left as they are. Throws BrokerFailure with one of the
// two sentences above or the system's text (ENOENT's for a missing directory).
void makeDataDirectoryPrivate(const std::string& path);

}  // namespace tamber
