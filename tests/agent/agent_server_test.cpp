#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "agent/agent_client.h"
#include "agent/agent_server.h"
#include "agent/elevated_fixture.h"
#include "agent/request_json.h"
#include "base/base64.h"
#include "base/failure.h"
#include "base/reply.h"
#include "platform/fd_io.h"
#include "platform/unique_fd.h"
#include "platform/unix_socket.h"
#include "support/runs.h"
#include "support/temp_dir.h"
#include "support/waiting.h"

namespace tamber {
namespace {

using namespace std::chrono_literals;
using testing::failureOf;
using testing::readFile;
using testing::ScriptedApprover;
using testing::TempDir;
using SteadyClock = std::chrono::steady_clock;

const std::string kNoGrant = R"({"error":"Private grant required","ok":false})";
const std::string kUnknownGrant =
    R"({"error":"Missing, revoked or expired access grant","ok":false})";
const std::string kDenied = R"({"error":"Elevated action denied","ok":false})";

std::string readAll(int fd) {
  std::string reply;
  readToEnd(fd, reply);  // a reset after the reply keeps what came before it
  return reply;
}

long openDescriptors() {
  const std::filesystem::directory_iterator entries("/proc/self/fd");
  return std::distance(begin(entries), end(entries));
}

long residentKiB() {
  const std::string status = readFile("/proc/self/status");
  return std::atol(status.c_str() + status.find("VmRSS:") + 6);
}

// An object with a Boolean "ok"; a failure holds its "error" sentence and nothing else.
bool isEnvelope(const std::string& bytes) {
  const Json reply = Json::parse(bytes, nullptr, false);
  return reply.is_object() && reply.contains("ok") && reply["ok"].is_boolean() &&
         bytes.ends_with('}') &&
         (reply["ok"].get<bool>() || (reply.size() == 2 && stringMember(reply, "error")));
}

// Sends `bytes` exactly as given (sendAgentRequest adds a newline and half-closes), optionally
// half-closes, and returns everything the server sends back.
std::string sendRaw(const std::string& socketPath, const std::string& bytes, bool halfClose) {
  UniqueFd fd = connectUnixSocket(socketPath);
  EXPECT_TRUE(fd.valid());
  EXPECT_EQ(::send(fd.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL),
            static_cast<ssize_t>(bytes.size()));
  if (halfClose) {
    ::shutdown(fd.get(), SHUT_WR);
  }
  return readAll(fd.get());
}

class AgentServerTest : public ::testing::Test {
 protected:
  AgentServerTest() {
    ::chmod(data.c_str(), 0700);
    options.readTimeout = 300ms;
    options.requestTimeLimit = 1500ms;
    // Elevated requests never reach pkexec here: the helper answers with its decoded request.
    options.launchHelper = [this](const std::string& value) {
      ++launches;
      const Json payload = Json::parse(*strictBase64Decode(value));
      return ProcessResult{0, jsonData(Json{{"ok", true}, {"path", payload.value("path", "")}})};
    };
  }

  std::unique_ptr<AgentServer> started(ElevatedApprover* approver = nullptr) {
    auto server = std::make_unique<AgentServer>(data, grants, approver, options);
    server->start();
    return server;
  }

  std::string request(const AgentServer& server, const Json& body) {
    return sendAgentRequest(server.socketPath(), jsonData(body));
  }

  // A stat of the scope under a fresh view grant, as one request line without its newline.
  std::string statLine() {
    const AgentGrant grant = grants.add({scope}, false, false, true);
    return jsonData(Json{{"token", grant.token}, {"action", "stat"}, {"path", scope}});
  }

  // The audit log's records, each of one whole line.
  std::vector<Json> audited() {
    std::istringstream log(readFile(data + "/agent-audit.jsonl"));
    std::vector<Json> records;
    for (std::string line; std::getline(log, line);) {
      records.push_back(Json::parse(line));
    }
    return records;
  }

  TempDir dir;
  std::string data = dir.mkdir("data");
  std::string scope = dir.mkdir("scope");
  GrantStore grants;
  AgentServerOptions options;
  std::atomic<int> launches{0};
};

TEST_F(AgentServerTest, StartReplacesLeftoversButNeverADirectory) {
  const std::string socketPath = data + "/agent.sock";
  {
    // A socket left by a crashed run.
    UniqueFd stale(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_un address = *unixSocketAddress(socketPath);
    ASSERT_EQ(::bind(stale.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  }
  auto server = started();
  EXPECT_EQ(server->socketPath(), socketPath);
  EXPECT_EQ(std::filesystem::status(socketPath).permissions(),
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  EXPECT_EQ(sendAgentRequest(socketPath, "{}"), kNoGrant);
  server->stop();
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(socketPath)));
  EXPECT_FALSE(connectUnixSocket(socketPath).valid());

  // A link in its place is removed, never what it points to.
  const std::string elsewhere = dir.write("elsewhere.txt", "keep");
  ASSERT_EQ(::symlink(elsewhere.c_str(), socketPath.c_str()), 0);
  started().reset();
  EXPECT_EQ(readFile(elsewhere), "keep");

  // A directory is not a leftover socket: nothing is removed recursively.
  dir.mkdir("data/agent.sock/inner");
  AgentServer blocked(data, grants, nullptr, options);
  EXPECT_EQ(failureOf([&] { blocked.start(); }), std::strerror(EISDIR));
  EXPECT_TRUE(std::filesystem::is_directory(data + "/agent.sock/inner"));
}

TEST_F(AgentServerTest, SocketPathLimitIs103Bytes) {
  const std::string base = dir.path() + "/";
  const std::string fits = dir.mkdir(std::string(103 - base.size() - 11, 'd'));
  const std::string tooLong = dir.mkdir(std::string(104 - base.size() - 11, 'e'));

  AgentServer atLimit(fits, grants, nullptr, options);
  ASSERT_EQ(atLimit.socketPath().size(), 103u);
  atLimit.start();
  EXPECT_EQ(sendAgentRequest(atLimit.socketPath(), "[]"), kNoGrant);

  AgentServer overLimit(tooLong, grants, nullptr, options);
  ASSERT_EQ(overLimit.socketPath().size(), 104u);
  EXPECT_EQ(failureOf([&] { overLimit.start(); }),
            "Private state path is too long for the local agent socket");
  EXPECT_TRUE(std::filesystem::is_empty(tooLong));
}

TEST_F(AgentServerTest, RefusesMalformedAndUngrantedRequestsWithoutAudit) {
  const std::string one = statLine();
  auto server = started();
  const std::string path = server->socketPath();
  for (const auto& [sent, expected] : std::vector<std::pair<std::string, std::string>>{
           {"[]", kNoGrant},
           {R"({"token":7})", kNoGrant},
           {R"({"token":"nope","action":"list"})", kUnknownGrant},
           // Nesting deep enough to exhaust a stack when copied is refused before parsing.
           {std::string(32000, '[') + std::string(32000, ']'),
            R"({"error":"JSON text nests arrays or objects too deeply","ok":false})"}}) {
    EXPECT_EQ(sendAgentRequest(path, sent), expected) << sent.substr(0, 40);
  }
  // Two objects in one chunk are one invalid request, and get one reply; so is bad UTF-8.
  for (const std::string& sent : {one + "\n" + one, std::string("{\"token\": \xff}")}) {
    const Json reply = Json::parse(sendAgentRequest(path, sent));
    EXPECT_EQ(reply["ok"], false);
    EXPECT_NE(reply["error"].get<std::string>().find("parse error"), std::string::npos);
  }

  EXPECT_EQ(Json::parse(sendAgentRequest(path, one))["ok"], true);  // the one line below
  grants.revokeAll();
  EXPECT_EQ(sendAgentRequest(path, one), kUnknownGrant);
  EXPECT_EQ(audited().size(), 1u);
}

TEST_F(AgentServerTest, RequestLimitIs65536BytesNewlineIncluded) {
  const std::string body = statLine();
  auto server = started();
  // sendAgentRequest adds the newline: `total` bytes in all.
  const auto padded = [&](size_t total) {
    return body + std::string(total - body.size() - 1, ' ');
  };
  const std::string tooLarge = R"({"error":"Request exceeds limit","ok":false})";

  EXPECT_EQ(Json::parse(sendAgentRequest(server->socketPath(), padded(65536)))["ok"], true);
  EXPECT_EQ(sendAgentRequest(server->socketPath(), padded(65537)), tooLarge);
  // Also when no newline comes before the excess.
  EXPECT_EQ(sendAgentRequest(server->socketPath(), std::string(200000, ' ')), tooLarge);
  EXPECT_EQ(audited().size(), 1u);
}

TEST_F(AgentServerTest, RequestEndsAtNewlineHalfCloseOrSilence) {
  const std::string body = statLine();
  auto server = started();
  // Half-closed, then gone unread: writing their replies must not raise SIGPIPE in the
  // broker's process, and the next client is served.
  for (int i = 0; i < 3; ++i) {
    UniqueFd gone = connectUnixSocket(server->socketPath());
    ASSERT_EQ(::send(gone.get(), body.data(), body.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(body.size()));
    ::shutdown(gone.get(), SHUT_WR);
  }
  EXPECT_EQ(Json::parse(sendRaw(server->socketPath(), body, /*halfClose=*/true))["ok"], true);
  // Neither newline nor half-close: the read timeout ends the request.
  const auto began = SteadyClock::now();
  EXPECT_EQ(Json::parse(sendRaw(server->socketPath(), body, /*halfClose=*/false))["ok"], true);
  EXPECT_GE(SteadyClock::now() - began, options.readTimeout);
}

TEST_F(AgentServerTest, ATricklingClientCannotHoldTheBroker) {
  const std::string body = statLine();
  auto server = started();

  UniqueFd slow = connectUnixSocket(server->socketPath());
  ASSERT_TRUE(slow.valid());
  std::atomic<bool> done{false};
  // One byte every 200 ms: never silent for the 300 ms read timeout.
  std::thread trickle([&] {
    for (size_t i = 0; i < body.size() && !done; ++i) {
      if (::send(slow.get(), &body[i], 1, MSG_NOSIGNAL) != 1) {
        break;
      }
      std::this_thread::sleep_for(200ms);
    }
  });
  const auto began = SteadyClock::now();
  const std::string reply = readAll(slow.get());
  const auto took = SteadyClock::now() - began;
  done = true;
  trickle.join();

  EXPECT_EQ(reply, R"({"error":"Request timed out","ok":false})");
  EXPECT_GE(took, options.requestTimeLimit - 50ms);
  EXPECT_LT(took, options.requestTimeLimit + 1s);
  // The broker is free again at once.
  EXPECT_EQ(Json::parse(sendAgentRequest(server->socketPath(), body))["ok"], true);
  EXPECT_EQ(audited().size(), 1u);
}

TEST_F(AgentServerTest, PeersOfAnotherUserGetNothing) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "needs root to connect as another user";
  }
  const std::string line = statLine() + "\n";
  auto server = started();
  // Open the way to the socket for the other user, so that only the peer check stands.
  ::chmod(dir.path().c_str(), 0711);
  ::chmod(data.c_str(), 0711);
  ::chmod(server->socketPath().c_str(), 0666);

  const pid_t child = ::fork();
  if (child == 0) {
    if (::setgroups(0, nullptr) != 0 || ::setgid(testing::kNobody) != 0 ||
        ::setuid(testing::kNobody) != 0) {
      ::_exit(3);
    }
    const UniqueFd fd = connectUnixSocket(server->socketPath());
    if (!fd) {
      ::_exit(2);
    }
    ::send(fd.get(), line.data(), line.size(), MSG_NOSIGNAL);
    ::shutdown(fd.get(), SHUT_WR);
    char byte;
    ::_exit(::read(fd.get(), &byte, 1) > 0 ? 1 : 0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: got reply bytes, 2: could not connect, 3: no setuid";

  EXPECT_EQ(Json::parse(sendRaw(server->socketPath(), line, true))["ok"], true);
  EXPECT_EQ(audited().size(), 1u);
}

TEST_F(AgentServerTest, ElevatedRequestsNeedApprovalAndAreAlwaysAudited) {
  const std::string lift = dir.mkdir("lift");
  const AgentGrant grant = grants.add({lift}, true, true, true);
  const Json mkdir{{"token", grant.token}, {"action", "mkdir"}, {"path", lift + "/made"}};
  const std::string made = jsonData(Json{{"ok", true}, {"path", lift + "/made"}});

  // Headless: no dialog can be shown, so nothing is elevated.
  EXPECT_EQ(request(*started(nullptr), mkdir), kDenied);
  ScriptedApprover approver;
  auto server = started(&approver);
  approver.decision = false;
  EXPECT_EQ(request(*server, mkdir), kDenied);
  approver.decision = true;
  EXPECT_EQ(request(*server, mkdir), made);
  // A UI that is shutting down and does not run the work leaves the request denied.
  approver.runWork = false;
  EXPECT_EQ(request(*server, mkdir), kDenied);
  approver.runWork = true;
  // Extra fields nested as deep as the limit allows are copied into the helper's payload.
  const auto nestedIn = [&](int depth) {
    return jsonData(mkdir).insert(
        1, "\"deep\":" + std::string(depth - 1, '[') + std::string(depth - 1, ']') + ",");
  };
  EXPECT_EQ(sendAgentRequest(server->socketPath(), nestedIn(kMaxRequestNesting)), made);

  // Refused by preflight: no dialog, no helper, no line.
  const size_t dialogs = approver.shown.size();
  for (const Json& refused :
       {Json{{"token", grant.token}, {"action", "read"}, {"path", lift + "/.ssh/id"}},
        Json{{"token", grant.token}, {"action", "delete"}, {"path", lift + "/x"}}}) {
    EXPECT_EQ(Json::parse(request(*server, refused))["ok"], false);
  }
  EXPECT_EQ(
      Json::parse(sendAgentRequest(server->socketPath(), nestedIn(kMaxRequestNesting + 1)))["ok"],
      false);
  EXPECT_EQ(approver.shown.size(), dialogs);
  EXPECT_EQ(launches.load(), 2);

  const std::vector<Json> records = audited();
  ASSERT_EQ(records.size(), 5u);
  for (size_t i = 0; i < records.size(); ++i) {
    EXPECT_EQ(records[i]["elevated"], true);
    EXPECT_EQ(records[i]["ok"], i == 2 || i == 4);
  }
}

TEST_F(AgentServerTest, StopDoesNotWaitForASilentClient) {
  options.readTimeout = 5s;
  options.requestTimeLimit = 10s;
  auto server = started();
  UniqueFd silent = connectUnixSocket(server->socketPath());
  ASSERT_TRUE(silent.valid());
  std::this_thread::sleep_for(50ms);  // let the broker take the connection

  const auto began = SteadyClock::now();
  server->stop();
  EXPECT_LT(SteadyClock::now() - began, 1s);
  EXPECT_EQ(readAll(silent.get()), "");
}

// Many agents at once while the user keeps revoking and granting: every reply is a well-formed
// envelope, a client's read returns its own file, and once the load is over the broker holds on
// to no descriptor and no memory.
TEST_F(AgentServerTest, ThirtyTwoClientsWhileGrantsComeAndGo) {
  options = AgentServerOptions{};  // the real time limits
  for (int c = 0; c < 32; ++c) {
    dir.write("scope/" + std::to_string(c), std::to_string(c));
  }
  auto server = started();
  std::mutex lock;  // guards `token` and `faults`
  std::string token = grants.add({scope}, false, false, true).token;
  std::vector<std::string> faults;

  const char* configured = std::getenv("TAMBER_LOAD_SECONDS");
  const auto duration = std::chrono::seconds(configured ? std::atoi(configured) : 30);
  // The audit log stays open from the first record on: one descriptor more, and no other (the
  // activity journal's are open once its thread has started).
  server->flushJournal();
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
      token = grants.add({scope}, false, false, true).token;
      EXPECT_EQ(grants.all().size(), 1u);
    }
  });

  const std::vector<Json> shapes = {
      {{"action", "read"}},  // of the client's own file
      {{"action", "list"}, {"path", scope}},
      {{"action", "write_new"}, {"path", scope + "/new.txt"}, {"text", "x"}},  // view: refused
      {{"action", "read"}, {"path", scope + "/../../etc/passwd"}},
      "not json",  // sent as it stands
      {{"token", 7}},
  };
  std::vector<std::thread> clients;
  const auto start = SteadyClock::now();
  for (size_t c = 0; c < 32; ++c) {
    clients.emplace_back([&, c] {
      for (size_t i = c; !stop; ++i) {
        Json request = shapes[i % shapes.size()];
        const bool ownRead = i % shapes.size() == 0;
        if (ownRead) {
          request["path"] = scope + "/" + std::to_string(c);
        }
        if (request.contains("action")) {
          std::lock_guard guard(lock);
          request["token"] = token;
        }
        std::string fault;
        try {
          const std::string reply = sendAgentRequest(
              server->socketPath(),
              request.is_string() ? request.get<std::string>() : jsonData(request), 20s);
          ++served;
          const Json parsed = Json::parse(reply, nullptr, false);
          succeeded += isSuccessReply(parsed);
          if (!isEnvelope(reply)) {
            fault = "not an envelope: " + reply;
          } else if (ownRead && isSuccessReply(parsed) &&
                     strictBase64Decode(parsed.value("data_base64", "")) != std::to_string(c)) {
            fault = "another client's reply: " + reply;
          }
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
  while (SteadyClock::now() - start < duration) {
    std::this_thread::sleep_for(200ms);
    if (residentAfterWarmUp < 0 && SteadyClock::now() - start > duration / 3) {
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
}

}  // namespace
}  // namespace tamber
