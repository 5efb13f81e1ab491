#include "support/network.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cctype>

#include "platform/fd_io.h"
#include "platform/unique_fd.h"

namespace tamber::testing {

std::string HttpReply::header(const std::string& name) const {
  const auto found = headers.find(name);
  return found == headers.end() ? std::string() : found->second;
}

HttpReply httpRequest(int port, const std::string& method, const std::string& path,
                      const std::vector<std::string>& extra, std::optional<std::string> host) {
  HttpReply reply;
  const UniqueFd fd = connectLoopback(port);
  if (!fd) {
    return reply;
  }
  timeval limit{5, 0};
  ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  std::string request = method + " " + path +
                        " HTTP/1.1\r\nHost: " + host.value_or("127.0.0.1:" + std::to_string(port)) +
                        "\r\nConnection: close\r\n";
  if (method == "POST" || method == "PUT" || method == "PATCH") {
    request += "Content-Length: 0\r\n";
  }
  for (const std::string& line : extra) {
    request += line + "\r\n";
  }
  request += "\r\n";
  if (::send(fd.get(), request.data(), request.size(), MSG_NOSIGNAL) !=
      static_cast<ssize_t>(request.size())) {
    return reply;
  }
  std::string raw;
  readToEnd(fd.get(), raw);
  const size_t headerEnd = raw.find("\r\n\r\n");
  if (raw.compare(0, 9, "HTTP/1.1 ") != 0 || headerEnd == std::string::npos) {
    return reply;
  }
  reply.status = std::stoi(raw.substr(9, 3));
  for (size_t at = raw.find("\r\n") + 2; at < headerEnd;) {
    const size_t end = raw.find("\r\n", at);
    const std::string line = raw.substr(at, end - at);
    const size_t colon = line.find(':');
    std::string name = line.substr(0, colon);
    for (char& c : name) {
      c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    reply.headers[name] = line.substr(line.find_first_not_of(' ', colon + 1));
    at = end + 2;
  }
  reply.body = raw.substr(headerEnd + 4);
  return reply;
}

}  // namespace tamber::testing
