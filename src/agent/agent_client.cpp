#include "agent/agent_client.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/failure.h"
#include "platform/fd_io.h"
#include "platform/peer_credentials.h"
#include "platform/unique_fd.h"
#include "platform/unix_socket.h"

namespace tamber {

void AgentCallHandle::abandon() {
  std::lock_guard lock(mutex_);
  abandoned_ = true;
  if (fd_ >= 0) {
    ::shutdown(fd_, SHUT_RDWR);
  }
}

bool AgentCallHandle::attach(int fd) {
  std::lock_guard lock(mutex_);
  fd_ = abandoned_ ? -1 : fd;
  return !abandoned_;
}

void AgentCallHandle::detach() {
  std::lock_guard lock(mutex_);
  fd_ = -1;
}

bool AgentCallHandle::abandoned() {
  std::lock_guard lock(mutex_);
  return abandoned_;
}

std::string sendAgentRequest(const std::string& socketPath, const std::string& request,
                             std::chrono::milliseconds timeout, AgentCallHandle* handle) {
  require(unixSocketAddress(socketPath).has_value(), "Agent socket path is too long");
  UniqueFd socketFD = connectUnixSocket(socketPath, timeout);
  if (!socketFD) {
    throw errnoFailure();
  }
  // The request carries the grant's token: it goes only to a broker of our own user. The
  // peer's credentials are those of the process that made the socket listen, fixed then.
  const std::optional<uid_t> broker = peerUserId(socketFD.get());
  require(broker.has_value() && *broker == ::geteuid(), kBrokerOfAnotherUser);

  // Declared after the descriptor, so the handle lets go of it before it is closed.
  struct Attached {
    AgentCallHandle* handle;
    ~Attached() {
      if (handle != nullptr) {
        handle->detach();
      }
    }
  } attached{handle};
  require(handle == nullptr || handle->attach(socketFD.get()), AgentCallHandle::kAbandoned);

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
  pollBriefly(socketFD.get(), POLLIN);  // most answers come within a wait awake
  const int error = readToEnd(socketFD.get(), reply);
  require(handle == nullptr || !handle->abandoned(), AgentCallHandle::kAbandoned);
  // A broker that refused early may reset the connection after its reply.
  if (error != 0 && !(error == ECONNRESET && !reply.empty())) {
    throw errnoFailure(error);
  }
  return reply;
}

}  // namespace tamber
