// Many agents at once against the real socket while the user keeps revoking and granting:
// every reply must be a well-formed envelope, and the broker must hold on to no descriptor and
// no memory once the load is over.
#include <dirent.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
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

int openDescriptors() {
  int count = 0;
  if (DIR* dir = ::opendir("/proc/self/fd")) {
    while (::readdir(dir) != nullptr) {
      ++count;
    }
    ::closedir(dir);
  }
  return count;
}

long residentKiB() {
  std::ifstream status("/proc/self/status");
  std::string key;
  long value = 0;
  while (status >> key) {
    if (key == "VmRSS:") {
      status >> value;
      return value;
    }
    status.ignore(4096, '\n');
  }
  return -1;
}

bool sanitized() {
#if defined(__SANITIZE_ADDRESS__)
  return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
  return true;
#endif
#endif
  return false;
}

// Checks the envelope and returns an empty string, or says what is wrong.
std::string envelopeFault(const std::string& bytes) {
  const Json reply = Json::parse(bytes, nullptr, false);
  if (!reply.is_object() || !reply.contains("ok") || !reply["ok"].is_boolean()) {
    return "not an envelope: " + bytes;
  }
  if (!reply["ok"].get<bool>() &&
      (reply.size() != 2 || !reply.contains("error") || !reply["error"].is_string())) {
    return "malformed failure: " + bytes;
  }
  if (bytes.empty() || bytes.back() != '}') {
    return "trailing bytes: " + bytes;
  }
  return "";
}

TEST(Load, ThirtyTwoClientsWhileGrantsComeAndGo) {
  testing::TempDir dir;
  const std::string data = dir.mkdir("data");
  ::chmod(data.c_str(), 0700);
  const std::string work = dir.mkdir("work");
  dir.write("work/notes.txt", "hello");
  dir.mkdir("work/sub");

  GrantStore grants;
  AgentServer server(data, grants, nullptr);
  server.start();

  std::mutex tokenLock;
  std::string token = grants.add({work}, false, false, true).token;
  auto currentToken = [&] {
    std::lock_guard guard(tokenLock);
    return token;
  };

  const char* configured = std::getenv("TAMBER_LOAD_SECONDS");
  const auto duration = std::chrono::seconds(configured ? std::atoi(configured) : 30);
  // The audit log stays open from the first record on: one descriptor more, and no other.
  const int descriptorsBefore = openDescriptors() + 1;
  long residentAfterWarmUp = -1;

  std::atomic<bool> stop{false};
  std::atomic<long> served{0};
  std::atomic<long> succeeded{0};
  std::mutex faultLock;
  std::vector<std::string> faults;

  std::thread user([&] {
    while (!stop) {
      std::this_thread::sleep_for(50ms);
      grants.revokeAll();
      std::lock_guard guard(tokenLock);
      token = grants.add({work}, false, false, true).token;
    }
  });

  const std::vector<std::string> shapes = {
      R"({"action":"stat","path":"WORK/notes.txt"})",
      R"({"action":"read","path":"WORK/notes.txt"})",
      R"({"action":"list","path":"WORK"})",
      R"({"action":"write_new","path":"WORK/new.txt","text":"x"})",  // view grant: refused
      R"({"action":"read","path":"WORK/../../etc/passwd"})",
      R"({"action":"read","path":"/root/.ssh/id_rsa"})",
      "not json",
      R"({"token":7})",
  };
  std::vector<std::thread> clients;
  const auto start = std::chrono::steady_clock::now();
  for (int c = 0; c < 32; ++c) {
    clients.emplace_back([&, c] {
      for (long i = 0; !stop && i < 1'000'000; ++i) {
        std::string request = shapes[static_cast<size_t>(c + i) % shapes.size()];
        if (request.starts_with("{\"action\"")) {
          Json object = Json::parse(request);
          std::string path = object["path"];
          if (path.starts_with("WORK")) {
            object["path"] = work + path.substr(4);
          }
          object["token"] = currentToken();
          request = jsonData(object);
        }
        try {
          const std::string reply = sendAgentRequest(server.socketPath(), request, 20s);
          ++served;
          if (isSuccessReply(Json::parse(reply, nullptr, false))) {
            ++succeeded;
          }
          if (std::string fault = envelopeFault(reply); !fault.empty()) {
            std::lock_guard guard(faultLock);
            faults.push_back(fault);
          }
        } catch (const BrokerFailure& failure) {
          // The listen backlog may overflow under this load; a refused connection is fine,
          // a broken reply is not.
          if (failure.description() != "Resource temporarily unavailable" &&
              failure.description() != "Connection refused") {
            std::lock_guard guard(faultLock);
            faults.push_back(failure.description());
          }
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
  if (!sanitized()) {
    // Flat: what the broker holds after the load is what it held a third of the way in.
    EXPECT_LT(residentKiB(), residentAfterWarmUp + 8 * 1024)
        << "resident memory grew from " << residentAfterWarmUp << " KiB";
  }
  server.stop();
  std::cout << "served " << served << " requests (" << succeeded << " succeeded) in "
            << duration.count() << " s\n";
}

}  // namespace
}  // namespace tamber
