#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/unique_fd.h"

namespace tamber::testing {

// A loopback port that was free a moment ago; 0 when none could be had.
int freePort();

struct HttpReply {
  int status = 0;                              // 0 when no reply came
  std::map<std::string, std::string> headers;  // names in lower case
  std::string body;

  std::string header(const std::string& name) const;
};

// A TCP connection to 127.0.0.1:`port`; empty when it could not be made.
UniqueFd connectLoopback(int port);

// One HTTP/1.1 exchange with 127.0.0.1:`port` on its own connection, written by hand so that
// it can send what browsers will not. `host` replaces the Host header's value; `extra` are
// further header lines ("Name: value").
HttpReply httpRequest(int port, const std::string& method, const std::string& path,
                      const std::vector<std::string>& extra = {},
                      std::optional<std::string> host = std::nullopt);

}  // namespace tamber::testing
