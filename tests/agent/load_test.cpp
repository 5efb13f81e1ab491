// Many agents at once against the real socket while the user keeps revoking and granting:
// every reply must be a well-formed envelope, and the broker must hold on to no descriptor and
// no memory once the load is over.
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "access/grant.h"
#include "agent/agent_client.h"
#include "agent/agent_server.h"
#include "base/failure.h"
#include "base/reply.h"
#include "support/temp_dir.h"

namespace tamber {
namespace {

using namespace std::chrono_literals;

long openDescriptors() {
  const std::filesystem::directory_iterator entries("/proc/self/fd");
  return std::distance(begin(entries), end(entries));
}

long residentKiB() {
  const std::string status = testing::readFile("/proc/self/status");
  return std::atol(status.c_str() + status.find("VmRSS:") + 6);
}

// Checks the envelope and returns an empty string, or says what is wrong.
std::string envelopeFault(const std::string& bytes) {
  const Json reply = Json::parse(bytes, nullptr, false);
  if (!reply.is_object() || !reply.contains("ok") || !reply["ok"].is_boolean() ||
      !bytes.ends_with('}')) {
    return "not an envelope: " + bytes;
  }
  if (!reply["ok"].get<bool>() && (reply.size() != 2 || !stringMember(reply, "error"))) {
    return "malformed failure: " + bytes;
  }
  return "";
}

TEST(Load, ThirtyTwoClientsWhileGrantsComeAndGo) {
  testing::TempDir dir;
  const std::string data = dir.mkdir("data");
  ::chmod(data.c_str(), 0700);
  const std::string work = dir.mkdir("work");
  dir.write("work/notes.txt", "hello");

  GrantStore grants;
  AgentServer server(data, grants, nullptr);
  server.start();

  std::mutex lock;  // guards `token` and `faults`
  std::string token = grants.add({work}, false, false, true).token;
  std::vector<std::string> faults;

  const char* configured = std::getenv("TAMBER_LOAD_SECONDS");
  const auto duration = std::chrono::seconds(configured ? std::atoi(configured) : 30);
  // The audit log stays open from the first record on: one descriptor more, and no other.
  const long descriptorsBefore = openDescriptors() + 1;
  long residentAfterWarmUp = -1;
  std::atomic<bool> stop{false};
  std::atomic<long> served{0};
  std::atomic<long> succeeded{0};

  std::thread user([&] {
    while (!stop) {
      std::this_thread::sleep_for(50ms);
      grants.revokeAll();
      std::lock_guard guard(lock);
      token = grants.add({work}, false, false, true).token;
    }
  });

  const std::vector<Json> shapes = {
      {{"action", "stat"}, {"path", work + "/notes.txt"}},
      {{"action", "read"}, {"path", work + "/notes.txt"}},
      {{"action", "list"}, {"path", work}},
      {{"action", "write_new"}, {"path", work + "/new.txt"}, {"text", "x"}},  // view: refused
      {{"action", "read"}, {"path", work + "/../../etc/passwd"}},
      {{"action", "read"}, {"path", "/root/.ssh/id_rsa"}},
      "not json",  // sent as it stands
      {{"token", 7}},
  };
  std::vector<std::thread> clients;
  const auto start = std::chrono::steady_clock::now();
  for (size_t c = 0; c < 32; ++c) {
    clients.emplace_back([&, c] {
      for (size_t i = c; !stop; ++i) {
        Json request = shapes[i % shapes.size()];
        if (request.contains("action")) {
          std::lock_guard guard(lock);
          request["token"] = token;
        }
        std::string fault;
        try {
          const std::string reply = sendAgentRequest(
              server.socketPath(),
              request.is_string() ? request.get<std::string>() : jsonData(request), 20s);
          ++served;
          succeeded += isSuccessReply(Json::parse(reply, nullptr, false));
          fault = envelopeFault(reply);
        } catch (const BrokerFailure& failure) {
          // The listen backlog may overflow under this load; a refused connection is fine,
          // a broken reply is not.
          if (failure.description() != "Resource temporarily unavailable" &&
              failure.description() != "Connection refused") {
            fault = failure.description();
          }
        }
        if (!fault.empty()) {
          std::lock_guard guard(lock);
          faults.push_back(fault);
        }
      }
    });
  }
  while (std::chrono::steady_clock::now() - start < duration) {
    std::this_thread::sleep_for(200ms);
    if (residentAfterWarmUp < 0 && std::chrono::steady_clock::now() - start > duration / 3) {
      residentAfterWarmUp = residentKiB();
    }
  }
  stop = true;
  for (std::thread& client : clients) {
    client.join();
  }
  user.join();

  EXPECT_TRUE(faults.empty()) << faults.size() << " faults, first: " << faults.front();
  EXPECT_GT(served.load(), 1000);
  EXPECT_GT(succeeded.load(), 100);
  std::this_thread::sleep_for(100ms);  // let the broker close the last connection
  EXPECT_EQ(openDescriptors(), descriptorsBefore);
#if !defined(__SANITIZE_ADDRESS__)
  // Flat: what the broker holds after the load is what it held a third of the way in.
  EXPECT_LT(residentKiB(), residentAfterWarmUp + 8 * 1024)
      << "resident memory grew from " << residentAfterWarmUp << " KiB";
#endif
  server.stop();
  std::cout << "served " << served << " requests (" << succeeded << " succeeded) in "
            << duration.count() << " s\n";
}

}  // namespace
}  // namespace tamber
