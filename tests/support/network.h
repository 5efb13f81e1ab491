#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/loopback.h"

namespace tamber::testing {

struct HttpReply {
  int status = 0;                              // 0 when no reply came
  std::map<std::string, std::string> headers;  // names in lower case
  std::string body;

  std::string header(const std::string& name) const;
};

// One HTTP/1.1 exchange with 127.0.0.1:`port` on its own connection, written by hand so that
// it can send what browsers will not. `host` replaces the Host header's value; `extra` are
// further header lines ("Name: value").
HttpReply httpRequest(int port, const std::string& method, const std::string& path,
                      const std::vector<std::string>& extra = {},
                      std::optional<std::string> host = std::nullopt);

}  // namespace tamber::testing
