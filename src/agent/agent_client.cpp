#include "agent/agent_client.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/failure.h"
#include "platform/fd_io.h"
#include "platform/unique_fd.h"

namespace tamber {

std::string sendAgentRequest(const std::string& socketPath, const std::string& request,
                             std::chrono::milliseconds timeout) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  require(socketPath.size() <= 103 && socketPath.find('\0') == std::string::npos,
          "Agent socket path is too long");
  std::memcpy(address.sun_path, socketPath.data(), socketPath.size());

  UniqueFd socketFD(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!socketFD) {
    throw errnoFailure();
  }
  if (timeout.count() > 0) {
    timeval limit{};
    limit.tv_sec = static_cast<time_t>(timeout.count() / 1000);
    limit.tv_usec = static_cast<suseconds_t>((timeout.count() % 1000) * 1000);
    ::setsockopt(socketFD.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(socketFD.get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  }
  if (::connect(socketFD.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    throw errnoFailure();
  }

  const std::string line = request + "\n";
  size_t sent = 0;
  while (sent < line.size()) {
    const ssize_t n = ::send(socketFD.get(), line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      // The broker may refuse early (an oversized request) and close; its reply is still
      // worth reading, so stop sending and fall through to the read.
      if (errno == EPIPE || errno == ECONNRESET) {
        break;
      }
      throw errnoFailure();
    }
    sent += static_cast<size_t>(n);
  }
  ::shutdown(socketFD.get(), SHUT_WR);

  std::string reply;
  const int error = readToEnd(socketFD.get(), reply);
  // A broker that refused early may reset the connection after its reply.
  if (error != 0 && !(error == ECONNRESET && !reply.empty())) {
    throw errnoFailure(error);
  }
  return reply;
}

}  // namespace tamber
