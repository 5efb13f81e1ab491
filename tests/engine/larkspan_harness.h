#pragma once

// The real larkspan for the engine's tests: the page's secret, a serving engine on a free
// loopback port, and what a test does when a real part it needs is missing.

#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/reply.h"
#include "platform/process.h"
#include "support/network.h"
#include "support/real_parts.h"
#include "support/runs.h"
#include "support/temp_dir.h"
#include "support/waiting.h"

namespace tamber::testing {

// The page's secret kept in `data`, as the cookie header line that carries it; empty when
// there is none.
inline std::string secretCookie(const std::string& data) {
  const std::string secret = readFile(data + "/page-secret");
  return secret.empty() ? "" : "Cookie: larkspan_page=" + secret.substr(0, secret.find('\n'));
}

// `larkspan --data DATA --root ROOT serve` on a free port, for the life of the object;
// `launcher` (a program with its options, such as prlimit's) runs it when given.
class ServingEngine {
 public:
  ServingEngine(const std::string& data, const std::string& root,
                const std::vector<std::string>& launcher = {})
      : data_(data) {
    // Another test may take the port between our probe and the engine's bind; then the
    // engine exits at once and we try another.
    for (int attempt = 0; attempt < 5 && !child_; ++attempt) {
      port_ = freeLoopbackPort();
      std::vector<std::string> argv = launcher;
      for (const std::string& argument :
           {larkspanBinary(), std::string("--data"), data, std::string("--root"), root,
            std::string("serve"), std::string("--port"), std::to_string(port_),
            std::string("--interval"), std::string("3600")}) {
        argv.push_back(argument);
      }
      child_.emplace(argv, ChildOptions{});
      // Up once our engine (not some other server on the port) answers for `root`.
      const bool up =
          waitFor([&] { return !child_->running() || status().value("root", "") == root; },
                  std::chrono::seconds(5));
      if (!up || !child_->running()) {
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
                    std::vector<std::string> extra = {},
                    std::optional<std::string> host = std::nullopt) const {
    if (const std::string cookie = secretCookie(data_); !cookie.empty()) {
      extra.push_back(cookie);
    }
    return httpRequest(port_, method, path, extra, std::move(host));
  }
  HttpReply get(const std::string& path) const { return request("GET", path); }

  // The status report; an empty object when there is none.
  Json status() const {
    const Json state = Json::parse(get("/api/status").body, nullptr, false);
    return state.is_object() ? state : Json::object();
  }

  // The report of the indexed folder once no index run is under way; fails the test after
  // ten seconds.
  Json settledIndex() const {
    const bool settled = waitFor(
        [&] {
          const Json state = status();
          return state.value("indexing", true) == false && state.contains("finished_at") &&
                 !state.at("finished_at").is_null();
        },
        std::chrono::seconds(10));
    EXPECT_TRUE(settled) << "the index did not settle";
    return Json::parse(get("/api/folder").body, nullptr, false);
  }

  // Sends SIGTERM and returns the exit status (or 128 + signal), killing after 5 seconds.
  int terminate() {
    const int status = child_ ? child_->stop(std::chrono::seconds(5)).value_or(-1) : -1;
    child_.reset();
    return status;
  }

 private:
  std::string data_;
  std::optional<ChildProcess> child_;
  int port_ = 0;
};

}  // namespace tamber::testing
