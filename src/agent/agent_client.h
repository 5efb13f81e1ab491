#pragma once

#include <chrono>
#include <string>

namespace tamber {

inline constexpr const char* kBrokerOfAnotherUser =
    "The process at the agent socket runs as another user; the grant token was not sent";

// Sends one request to the broker listening on the Unix socket `socketPath`: connects, writes
// `request` and a newline, half-closes its side, and returns every byte the broker sends until
// it closes the connection. `timeout` bounds each wait for a reply byte (zero: wait as long
// as the broker takes, as an elevated request waits for the user's approval).
// Before anything is sent, the process that listens on the socket must run as this process's
// (effective) user, as the kernel recorded it: otherwise throws kBrokerOfAnotherUser, since
// whoever could put a socket at that path would collect the token.
// Throws a BrokerFailure with the system's error text when the socket cannot be reached or
// the exchange fails, or "Agent socket path is too long" for a path over 103 bytes.
std::string sendAgentRequest(const std::string& socketPath, const std::string& request,
                             std::chrono::milliseconds timeout = std::chrono::milliseconds(0));

}  // namespace tamber
