#pragma once

#include <sys/un.h>

#include <chrono>
#include <optional>
#include <string>

#include "platform/unique_fd.h"

namespace tamber {

// The address of the Unix-domain socket at `path`; empty when the path is longer than 103 bytes
// or has a NUL inside.
std::optional<sockaddr_un> unixSocketAddress(const std::string& path) noexcept;

// A new stream socket connected to the one at `path`. With a nonzero `timeout`, connecting,
// sending and receiving each give up after that long. Invalid, with errno set, on failure.
// True once the peer of the connected stream socket `fd` has closed it entirely (or shut down
// both its directions); a peer that only half-closed its writing side is still there. Never
// waits.
bool peerHasGone(int fd) noexcept;

UniqueFd connectUnixSocket(const std::string& path, std::chrono::milliseconds timeout =
                                                        std::chrono::milliseconds(0)) noexcept;

}  // namespace tamber
