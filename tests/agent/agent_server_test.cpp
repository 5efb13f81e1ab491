#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "agent/agent_client.h"
#include "agent/agent_server.h"
#include "agent/request_json.h"
#include "base/base64.h"
#include "platform/fd_io.h"
#include "platform/unique_fd.h"
#include "support/runs.h"
#include "support/temp_dir.h"
#include "support/waiting.h"

namespace tamber {
namespace {

using namespace std::chrono_literals;
using testing::failureOf;
using testing::readFile;
using testing::TempDir;
using SteadyClock = std::chrono::steady_clock;

const std::string kNoGrant = R"({"error":"Private grant required","ok":false})";
const std::string kUnknownGrant =
    R"({"error":"Missing, revoked or expired access grant","ok":false})";
const std::string kDenied = R"({"error":"Elevated action denied","ok":false})";

sockaddr_un addressOf(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.data(), path.size());
  return address;
}

UniqueFd connectTo(const std::string& path) {
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const sockaddr_un address = addressOf(path);
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    return UniqueFd();
  }
  return fd;
}

std::string readAll(int fd) {
  std::string reply;
  readToEnd(fd, reply);  // a reset after the reply keeps what came before it
  return reply;
}

// Sends `bytes` exactly as given (sendAgentRequest adds a newline and half-closes), optionally
// half-closes, and returns everything the server sends back.
std::string sendRaw(const std::string& socketPath, const std::string& bytes, bool halfClose) {
  UniqueFd fd = connectTo(socketPath);
  EXPECT_TRUE(fd.valid());
  EXPECT_EQ(::send(fd.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL),
            static_cast<ssize_t>(bytes.size()));
  if (halfClose) {
    ::shutdown(fd.get(), SHUT_WR);
  }
  return readAll(fd.get());
}

// Approves or denies on demand, runs the "main thread" work inline, and notes how many
// approvals were ever in progress at once.
class ScriptedApprover : public ElevatedApprover {
 public:
  void runOnMainThread(const std::function<void()>& work) override {
    if (runWork) {
      work();
    }
  }
  bool approve(const std::string&, const std::string&) override {
    const int now = ++inside;
    maxInside = std::max(maxInside.load(), now);
    ++shown;
    std::this_thread::sleep_for(holdFor);
    --inside;
    return decision;
  }

  std::atomic<bool> decision{true};
  std::atomic<bool> runWork{true};
  std::chrono::milliseconds holdFor{0};
  std::atomic<int> inside{0};
  std::atomic<int> maxInside{0};
  std::atomic<int> shown{0};
};

class AgentServerTest : public ::testing::Test {
 protected:
  AgentServerTest() {
    ::chmod(data.c_str(), 0700);
    dir.write("scope/a.txt", "alpha");
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
    const sockaddr_un address = addressOf(socketPath);
    ASSERT_EQ(::bind(stale.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  }
  {
    AgentServer server(data, grants, nullptr, options);
    server.start();
    EXPECT_EQ(server.socketPath(), socketPath);
    EXPECT_TRUE(std::filesystem::is_socket(socketPath));
    EXPECT_EQ(std::filesystem::status(socketPath).permissions(),
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    EXPECT_EQ(sendAgentRequest(socketPath, "{}"), kNoGrant);
    server.stop();
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(socketPath)));
    EXPECT_FALSE(connectTo(socketPath).valid());
    server.stop();  // idempotent; the destructor stops once more
  }

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

TEST_F(AgentServerTest, ServesAnOrdinaryGrantAndAuditsOnlyWhatItDid) {
  const AgentGrant grant = grants.add({scope}, true, false, true);
  auto server = started();
  const auto ask = [&](Json body) {
    body["token"] = grant.token;
    return request(*server, body);
  };

  const Json readA{{"action", "read"}, {"path", scope + "/a.txt"}};
  const std::string read = ask(readA);
  EXPECT_EQ(read.back(), '}');  // one object, no trailing newline
  EXPECT_EQ(strictBase64Decode(Json::parse(read)["data_base64"].get<std::string>()), "alpha");
  const Json writeNew{{"action", "write_new"}, {"path", scope + "/new.txt"}, {"text", "words"}};
  EXPECT_EQ(Json::parse(ask(writeNew))["ok"], true);

  // Refusals and failed actions leave no line.
  EXPECT_EQ(Json::parse(ask({{"action", "read"}, {"path", dir / "elsewhere"}}))["ok"], false);
  EXPECT_EQ(Json::parse(ask(writeNew))["ok"], false);

  const std::string log = readFile(data + "/agent-audit.jsonl");
  EXPECT_EQ(log.find(grant.token), std::string::npos);
  EXPECT_EQ(log.find("words"), std::string::npos);
  const std::vector<Json> records = audited();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0]["action"], "read");
  EXPECT_EQ(records[1]["action"], "write_new");
  EXPECT_EQ(records[1]["ok"], true);

  // A log that cannot be written never changes the reply.
  std::filesystem::remove(data + "/agent-audit.jsonl");
  dir.mkdir("data/agent-audit.jsonl");
  EXPECT_EQ(ask(readA), read);
  EXPECT_TRUE(std::filesystem::is_empty(data + "/agent-audit.jsonl"));
}

TEST_F(AgentServerTest, RefusesMalformedAndUngrantedRequestsWithoutAudit) {
  auto now =
      std::make_shared<std::atomic<WallClock::rep>>(WallClock::now().time_since_epoch().count());
  GrantStore clocked([now] { return WallClock::time_point(WallClock::duration(now->load())); });
  AgentServer server(data, clocked, nullptr, options);
  server.start();
  const std::string path = server.socketPath();

  const std::string tooDeep =
      R"({"error":"JSON text nests arrays or objects too deeply","ok":false})";
  for (const auto& [sent, expected] : std::vector<std::pair<std::string, std::string>>{
           {"{}", kNoGrant},
           {"[]", kNoGrant},
           {R"({"token":7})", kNoGrant},
           {R"({"token":"nope","action":"list"})", kUnknownGrant},
           // Nesting deep enough to exhaust a stack when copied is refused before parsing.
           {std::string(32000, '[') + std::string(32000, ']'), tooDeep}}) {
    EXPECT_EQ(sendAgentRequest(path, sent), expected) << sent.substr(0, 40);
  }

  const AgentGrant grant = clocked.add({scope}, false, false, true);
  const std::string one =
      jsonData(Json{{"token", grant.token}, {"action", "stat"}, {"path", scope}});
  // Two objects in one chunk are one invalid request, and get one reply; so is bad UTF-8.
  for (const std::string& sent : {one + "\n" + one, std::string("{\"token\": \xff}")}) {
    const Json reply = Json::parse(sendAgentRequest(path, sent));
    EXPECT_EQ(reply["ok"], false);
    EXPECT_NE(reply["error"].get<std::string>().find("parse error"), std::string::npos);
  }

  EXPECT_EQ(Json::parse(sendAgentRequest(path, one))["ok"], true);  // the one line below
  *now += std::chrono::duration_cast<WallClock::duration>(31min).count();
  EXPECT_EQ(sendAgentRequest(path, one), kUnknownGrant);  // expired
  clocked.revokeAll();
  *now -= std::chrono::duration_cast<WallClock::duration>(31min).count();
  EXPECT_EQ(sendAgentRequest(path, one), kUnknownGrant);  // revoked

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
  const std::string path = server->socketPath();

  EXPECT_EQ(Json::parse(sendRaw(path, body, /*halfClose=*/true))["ok"], true);

  // Neither newline nor half-close: the read timeout ends the request.
  const auto began = SteadyClock::now();
  EXPECT_EQ(Json::parse(sendRaw(path, body, /*halfClose=*/false))["ok"], true);
  EXPECT_GE(SteadyClock::now() - began, options.readTimeout);

  // A client that sends nothing gets the parser's complaint about an empty request.
  const Json silent = Json::parse(sendRaw(path, "", /*halfClose=*/false));
  EXPECT_NE(silent["error"].get<std::string>().find("unexpected end of input"), std::string::npos);

  // Bytes after the newline are part of what gets parsed, so they spoil the request.
  EXPECT_EQ(Json::parse(sendRaw(path, body + "\nextra", true))["ok"], false);
}

TEST_F(AgentServerTest, ATricklingClientCannotHoldTheBroker) {
  const std::string body = statLine();
  auto server = started();

  UniqueFd slow = connectTo(server->socketPath());
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

  const sockaddr_un address = addressOf(server->socketPath());
  const pid_t child = ::fork();
  if (child == 0) {
    if (::setgroups(0, nullptr) != 0 || ::setgid(testing::kNobody) != 0 ||
        ::setuid(testing::kNobody) != 0) {
      ::_exit(3);
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
      ::_exit(2);
    }
    ::send(fd, line.data(), line.size(), MSG_NOSIGNAL);
    ::shutdown(fd, SHUT_WR);
    char byte;
    ::_exit(::read(fd, &byte, 1) > 0 ? 1 : 0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: got reply bytes, 2: could not connect, 3: no setuid";

  EXPECT_EQ(Json::parse(sendRaw(server->socketPath(), line, true))["ok"], true);
  EXPECT_EQ(audited().size(), 1u);
}

TEST_F(AgentServerTest, ConcurrentClientsAreServedOneAtATime) {
  const std::string lift = dir.mkdir("lift");
  const AgentGrant grant = grants.add({lift}, true, true, true);
  ScriptedApprover approver;
  approver.holdFor = 20ms;
  auto server = started(&approver);

  // Each client creates a file of its own through the elevated path, and gets its own answer.
  constexpr int kClients = 8;
  std::vector<std::string> replies(kClients);
  std::vector<std::thread> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.emplace_back([&, i] {
      replies[i] = request(*server, {{"token", grant.token},
                                     {"action", "write_new"},
                                     {"path", lift + "/" + std::to_string(i)},
                                     {"text", "x"}});
    });
  }
  for (std::thread& client : clients) {
    client.join();
  }
  for (int i = 0; i < kClients; ++i) {
    EXPECT_EQ(replies[i], jsonData(Json{{"ok", true}, {"path", lift + "/" + std::to_string(i)}}));
  }
  EXPECT_EQ(approver.maxInside.load(), 1);
  EXPECT_EQ(launches.load(), kClients);
  EXPECT_EQ(audited().size(), static_cast<size_t>(kClients));
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
  const int dialogs = approver.shown;
  for (const Json& refused :
       {Json{{"token", grant.token}, {"action", "read"}, {"path", lift + "/.ssh/id"}},
        Json{{"token", grant.token}, {"action", "delete"}, {"path", lift + "/x"}}}) {
    EXPECT_EQ(Json::parse(request(*server, refused))["ok"], false);
  }
  EXPECT_EQ(
      Json::parse(sendAgentRequest(server->socketPath(), nestedIn(kMaxRequestNesting + 1)))["ok"],
      false);
  EXPECT_EQ(approver.shown, dialogs);
  EXPECT_EQ(launches.load(), 2);

  const std::vector<Json> records = audited();
  ASSERT_EQ(records.size(), 5u);
  for (size_t i = 0; i < records.size(); ++i) {
    EXPECT_EQ(records[i]["elevated"], true);
    EXPECT_EQ(records[i]["ok"], i == 2 || i == 4);
  }
}

TEST_F(AgentServerTest, AClientThatHangsUpBeforeTheReplyHarmsNothing) {
  const std::string line = statLine() + "\n";
  auto server = started();
  for (int i = 0; i < 3; ++i) {
    UniqueFd gone = connectTo(server->socketPath());
    ASSERT_EQ(::send(gone.get(), line.data(), line.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(line.size()));
  }  // closed unread: writing the reply must not raise SIGPIPE in the broker's process
  EXPECT_EQ(Json::parse(sendRaw(server->socketPath(), line, true))["ok"], true);
}

TEST_F(AgentServerTest, StopDoesNotWaitForASilentClient) {
  options.readTimeout = 5s;
  options.requestTimeLimit = 10s;
  auto server = started();
  UniqueFd silent = connectTo(server->socketPath());
  ASSERT_TRUE(silent.valid());
  std::this_thread::sleep_for(50ms);  // let the broker take the connection

  const auto began = SteadyClock::now();
  server->stop();
  EXPECT_LT(SteadyClock::now() - began, 1s);
  EXPECT_EQ(readAll(silent.get()), "");
}

}  // namespace
}  // namespace tamber
