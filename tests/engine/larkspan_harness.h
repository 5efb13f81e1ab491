#pragma once

// The real larkspan for the engine's tests: the page's secret, and a serving engine on a free
// loopback port.

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "base/reply.h"
#include "platform/process.h"
#include "support/network.h"
#include "support/runs.h"
#include "support/temp_dir.h"
#include "support/waiting.h"

namespace tamber::testing {

// The page's secret kept in `data`, as the cookie header line that carries it; empty when
// there is none.
inline std::string secretCookie(const std::string& data) {
  std::string secret;
  if (FILE* file = std::fopen((data + "/page-secret").c_str(), "re")) {
    char text[80] = "";
    if (std::fgets(text, sizeof text, file) != nullptr) {
      secret = text;
    }
    std::fclose(file);
  }
  while (!secret.empty() && secret.back() == '\n') {
    secret.pop_back();
  }
  return secret.empty() ? std::string() : "Cookie: larkspan_page=" + secret;
}

// `headers` and, when `data` keeps one, the page's secret.
inline std::vector<std::string> withSecret(const std::string& data,
                                           std::vector<std::string> headers = {}) {
  if (const std::string cookie = secretCookie(data); !cookie.empty()) {
    headers.push_back(cookie);
  }
  return headers;
}

// `larkspan --data DATA --root ROOT serve` on a free port, for the life of the object.
class ServingEngine {
 public:
  ServingEngine(const std::string& data, const std::string& root, int intervalSeconds = 3600)
      : data_(data) {
    // Another test may take the port between our probe and the engine's bind; then the
    // engine exits at once and we try another.
    for (int attempt = 0; attempt < 5 && !child_; ++attempt) {
      port_ = freePort();
      child_.emplace(std::vector<std::string>{larkspanBinary(), "--data", data, "--root", root,
                                              "serve", "--port", std::to_string(port_),
                                              "--interval", std::to_string(intervalSeconds)},
                     ChildOptions{});
      if (!answers(root)) {
        child_.reset();
      }
    }
    if (!child_) {
      ADD_FAILURE() << "larkspan serve did not come up";
    }
  }

  int port() const { return port_; }

  // A request as the user's own app makes it: with the page's secret.
  HttpReply request(const std::string& method, const std::string& path,
                    std::vector<std::string> extra = {}) const {
    return httpRequest(port_, method, path, withSecret(data_, std::move(extra)));
  }
  HttpReply get(const std::string& path) const { return request("GET", path); }

  Json status() const { return Json::parse(get("/api/status").body, nullptr, false); }

  // The report of the indexed folder once no index run is under way; fails the test after
  // ten seconds.
  Json settledIndex() const {
    Json report = Json::object();
    const bool settled = waitFor(
        [&] {
          const Json state = status();
          if (state.is_object() && state.value("indexing", true) == false &&
              state.contains("finished_at") && !state.at("finished_at").is_null()) {
            report = Json::parse(get("/api/folder").body, nullptr, false);
            return true;
          }
          return false;
        },
        std::chrono::seconds(10));
    if (!settled) {
      ADD_FAILURE() << "the index did not settle";
    }
    return report;
  }

  // Sends SIGTERM and returns the exit status (or 128 + signal), killing after 5 seconds.
  int terminate() {
    const int status = child_ ? child_->stop(std::chrono::seconds(5)).value_or(-1) : -1;
    child_.reset();
    return status;
  }

 private:
  // True once our engine (not some other server on the port) answers for `root`.
  bool answers(const std::string& root) {
    return waitFor(
               [&] {
                 if (!child_->running()) {
                   return true;  // ended: the answer below is no
                 }
                 const Json state = status();
                 return state.is_object() && state.value("root", "") == root;
               },
               std::chrono::seconds(5)) &&
           child_->running();
  }

  std::string data_;
  std::optional<ChildProcess> child_;
  int port_ = 0;
};

}  // namespace tamber::testing
