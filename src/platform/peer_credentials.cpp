#include "platform/peer_credentials.h"

#include <sys/socket.h>

namespace tamber {

std::optional<uid_t> peerUserId(int socketFD) noexcept {
  // SO_PEERCRED holds the credentials of connect() time, so a peer that changes its user
  // afterwards is still judged by the user that made the connection.
  ucred credentials{};
  socklen_t length = sizeof credentials;
  if (::getsockopt(socketFD, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0 ||
      length != sizeof credentials) {
    return std::nullopt;
  }
  return credentials.uid;
}

}  // namespace tamber
