#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/unique_fd.h"

namespace tamber::testing {

// A raw HTTP/1.1 reply, written exactly as given.
inline std::string httpReply(int status, const std::string& body,
                             const std::string& type = "application/json",
                             const std::string& extraHeaders = "") {
  return "HTTP/1.1 " + std::to_string(status) + " Status\r\nContent-Type: " + type +
         "\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n" +
         extraHeaders + "\r\n" + body;
}

// A tiny HTTP server on 127.0.0.1 at a free port, serving from its own thread: each request's
// path goes to `respond`, whose text is sent back as the raw reply (empty: the connection is
// held open without a reply until the server stops). Records every path it was asked for.
class FakeHttpServer {
 public:
  using Responder = std::function<std::string(const std::string& path)>;

  explicit FakeHttpServer(Responder respond) : respond_(std::move(respond)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_.get(), 16) != 0 ||
        ::getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      throw std::runtime_error("fake HTTP server cannot listen");
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  FakeHttpServer(const FakeHttpServer&) = delete;
  FakeHttpServer& operator=(const FakeHttpServer&) = delete;
  ~FakeHttpServer() {
    stopping_ = true;
    thread_.join();
  }

  int port() const { return port_; }

  std::vector<std::string> paths() const {
    std::lock_guard<std::mutex> guard(lock_);
    return paths_;
  }

 private:
  void serve() {
    std::vector<UniqueFd> held;
    while (!stopping_) {
      pollfd watched{listener_.get(), POLLIN, 0};
      UniqueFd client(::poll(&watched, 1, 50) > 0
                          ? ::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC)
                          : -1);
      if (!client) {
        continue;
      }
      // The request line and headers, read until a quiet client has had two seconds.
      const timeval quiet{2, 0};
      ::setsockopt(client.get(), SOL_SOCKET, SO_RCVTIMEO, &quiet, sizeof quiet);
      std::string request;
      char buffer[4096];
      for (ssize_t count = 1; count > 0 && request.find("\r\n\r\n") == std::string::npos;) {
        count = ::read(client.get(), buffer, sizeof buffer);
        request.append(buffer, static_cast<size_t>(std::max<ssize_t>(count, 0)));
      }
      std::string method, path;  // of "GET /path HTTP/1.1"
      std::istringstream(request) >> method >> path;
      {
        std::lock_guard<std::mutex> guard(lock_);
        paths_.push_back(path);
      }
      const std::string reply = respond_(path);
      if (reply.empty()) {
        held.push_back(std::move(client));
      } else {  // a blocking send hands over all of it, unless the client has gone
        ::send(client.get(), reply.data(), reply.size(), MSG_NOSIGNAL);
      }
    }
  }

  Responder respond_;
  UniqueFd listener_{::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)};
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  mutable std::mutex lock_;
  std::vector<std::string> paths_;
  std::thread thread_;
};

}  // namespace tamber::testing
