#pragma once

#include <chrono>
#include <string>

namespace tamber {

// Sends one request to the broker listening on the Unix socket `socketPath`: connects, writes
// `request` and a newline, half-closes its side, and returns every byte the broker sends until
// it closes the connection. `timeout` bounds each wait for a reply byte (zero: wait as long
// as the broker takes, as an elevated request waits for the user's approval).
// Throws a BrokerFailure with the system's error text when the socket cannot be reached or
// the exchange fails, or "Agent socket path is too long" for a path over 103 bytes.
std::string sendAgentRequest(const std::string& socketPath, const std::string& request,
                             std::chrono::milliseconds timeout = std::chrono::milliseconds(0));

}  // namespace tamber
