#pragma once

#include <chrono>
#include <mutex>
#include <string>

namespace tamber {

inline constexpr const char* kBrokerOfAnotherUser =
    "The process at the agent socket runs as another user; the grant token was not sent";

// Lets another thread end the requests sent with it: abandon() shuts the connection of the one
// under way down at once (the broker sees its client gone, and stops a copy at its next
// chunk), and that request and every later one sent with this handle fail with kAbandoned.
// Thread-safe.
class AgentCallHandle {
 public:
  static constexpr const char* kAbandoned = "The request to the broker was abandoned";

  void abandon();

  // For sendAgentRequest: the connection under way, or none (-1). attach() returns false
  // once abandoned.
  bool attach(int fd);
  void detach();
  bool abandoned();

 private:
  std::mutex mutex_;
  int fd_ = -1;             // guarded by mutex_
  bool abandoned_ = false;  // guarded by mutex_
};

// Sends one request to the broker listening on the Unix socket `socketPath`: connects, writes
// `request` and a newline, half-closes its side, and returns every byte the broker sends until
// it closes the connection. `timeout` bounds each wait for a reply byte (zero: wait as long
// as the broker takes, as an elevated request waits for the user's approval). With `handle`,
// another thread can end the exchange at any time.
// Before anything is sent, the process that listens on the socket must run as this process's
// (effective) user, as the kernel recorded it: otherwise throws kBrokerOfAnotherUser, since
// whoever could put a socket at that path would collect the token.
// Throws a BrokerFailure with the system's error text when the socket cannot be reached or
// the exchange fails, "Agent socket path is too long" for a path over 103 bytes, or
// AgentCallHandle::kAbandoned.
std::string sendAgentRequest(const std::string& socketPath, const std::string& request,
                             std::chrono::milliseconds timeout = std::chrono::milliseconds(0),
                             AgentCallHandle* handle = nullptr);

}  // namespace tamber
