#include "platform/unix_socket.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>
#include <cstring>

namespace tamber {

// sun_path is 108 bytes here but 104 on other systems; one limit everywhere keeps a data
// directory usable wherever the app runs.
constexpr size_t kLongestSocketPath = 103;

std::optional<sockaddr_un> unixSocketAddress(const std::string& path) noexcept {
  sockaddr_un address{};
  if (path.size() > kLongestSocketPath || path.find('\0') != std::string::npos) {
    return std::nullopt;
  }
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.data(), path.size());
  return address;
}

bool peerHasGone(int fd) noexcept {
  // No events asked for: only the hang-up, which a stream socket reports once nothing can
  // travel either way.
  pollfd watched{fd, 0, 0};
  return ::poll(&watched, 1, 0) == 1 && (watched.revents & (POLLHUP | POLLERR)) != 0;
}

UniqueFd connectUnixSocket(const std::string& path, std::chrono::milliseconds timeout) noexcept {
  const std::optional<sockaddr_un> address = unixSocketAddress(path);
  if (!address) {
    errno = ENAMETOOLONG;
    return UniqueFd();
  }
  UniqueFd socketFD(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!socketFD) {
    return socketFD;
  }
  if (timeout.count() > 0) {
    timeval limit{};
    limit.tv_sec = static_cast<time_t>(timeout.count() / 1000);
    limit.tv_usec = static_cast<suseconds_t>((timeout.count() % 1000) * 1000);
    ::setsockopt(socketFD.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(socketFD.get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  }
  if (::connect(socketFD.get(), reinterpret_cast<const sockaddr*>(&*address), sizeof *address) !=
      0) {
    const int error = errno;
    socketFD.reset();
    errno = error;
  }
  return socketFD;
}

}  // namespace tamber
