#pragma once

#include <sys/types.h>

#include <optional>

namespace tamber {

// The effective user id of the process at the other end of the connected Unix-domain stream
// socket `socketFD`, as the kernel recorded it when that process connected. Empty when the
// kernel cannot say (not a Unix socket, not connected). Never throws; any thread.
std::optional<uid_t> peerUserId(int socketFD) noexcept;

}  // namespace tamber
