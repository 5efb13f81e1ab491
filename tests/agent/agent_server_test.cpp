#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "agent/agent_client.h"
#include "agent/agent_server.h"
#include "agent/request_json.h"
#include "base/base64.h"
#include "base/failure.h"
#include "platform/process.h"
#include "platform/unique_fd.h"
#include "support/runs.h"
#include "support/temp_dir.h"

namespace tamber {
namespace {

using namespace std::chrono_literals;
using testing::readFile;
using testing::TempDir;
using SteadyClock = std::chrono::steady_clock;

const std::string kNoGrant = R"({"error":"Private grant required","ok":false})";
const std::string kUnknownGrant =
    R"({"error":"Missing, revoked or expired access grant","ok":false})";
const std::string kDenied = R"({"error":"Elevated action denied","ok":false})";

std::string failureText(const std::function<void()>& action) {
  try {
    action();
  } catch (const BrokerFailure& failure) {
    return failure.description();
  }
  return "";
}

UniqueFd connectTo(const std::string& path) {
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.data(), path.size());
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    return UniqueFd();
  }
  return fd;
}

std::string readToEnd(int fd) {
  std::string reply;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return reply;  // end of stream, or a reset after the reply
    }
    reply.append(buffer, static_cast<size_t>(n));
  }
}

// Sends raw bytes, optionally half-closes, and returns everything the server sends back.
std::string roundTrip(const std::string& socketPath, const std::string& bytes,
                      bool halfClose = true) {
  UniqueFd fd = connectTo(socketPath);
  EXPECT_TRUE(fd.valid());
  size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::send(fd.get(), bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) {
      break;
    }
    sent += static_cast<size_t>(n);
  }
  if (halfClose) {
    ::shutdown(fd.get(), SHUT_WR);
  }
  return readToEnd(fd.get());
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
  bool approve(const std::string&, const std::string& informativeText) override {
    const int now = ++inside;
    maxInside = std::max(maxInside.load(), now);
    {
      std::lock_guard guard(lock);
      shown.push_back(informativeText);
    }
    std::this_thread::sleep_for(holdFor);
    --inside;
    return decision;
  }

  std::atomic<bool> decision{true};
  std::atomic<bool> runWork{true};
  std::chrono::milliseconds holdFor{0};
  std::atomic<int> inside{0};
  std::atomic<int> maxInside{0};
  std::mutex lock;
  std::vector<std::string> shown;
};

class AgentServerTest : public ::testing::Test {
 protected:
  AgentServerTest() {
    data = dir.mkdir("data");
    ::chmod(data.c_str(), 0700);
    scope = dir.mkdir("scope");
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

  std::vector<std::string> auditLines() {
    const std::string content = readFile(data + "/agent-audit.jsonl");
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = content.find('\n', start)) != std::string::npos; start = end + 1) {
      lines.push_back(content.substr(start, end - start));
    }
    EXPECT_EQ(start, content.size()) << "the log ends in the middle of a line";
    return lines;
  }

  TempDir dir;
  std::string data;
  std::string scope;
  GrantStore grants;
  AgentServerOptions options;
  std::atomic<int> launches{0};
};

mode_t modeOf(const std::string& path) {
  struct stat status {};
  EXPECT_EQ(::lstat(path.c_str(), &status), 0) << path;
  return status.st_mode & 07777;
}

TEST_F(AgentServerTest, StartReplacesLeftoversButNeverADirectory) {
  const std::string socketPath = data + "/agent.sock";
  {
    // A socket left by a crashed run.
    UniqueFd stale(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, socketPath.data(), socketPath.size());
    ASSERT_EQ(::bind(stale.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  }
  {
    AgentServer server(data, grants, nullptr, options);
    server.start();
    EXPECT_EQ(server.socketPath(), socketPath);
    EXPECT_TRUE(S_ISSOCK(std::filesystem::symlink_status(socketPath).type() ==
                                 std::filesystem::file_type::socket
                             ? S_IFSOCK
                             : 0));
    EXPECT_EQ(modeOf(socketPath), 0600);
    EXPECT_EQ(roundTrip(socketPath, "{}\n"), kNoGrant);
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
  EXPECT_EQ(failureText([&] { blocked.start(); }), std::strerror(EISDIR));
  EXPECT_TRUE(std::filesystem::is_directory(data + "/agent.sock/inner"));
}

TEST_F(AgentServerTest, SocketPathLimitIs103Bytes) {
  const std::string base = dir.path() + "/";
  const std::string fits = base + std::string(103 - base.size() - 11, 'd');
  const std::string tooLong = base + std::string(104 - base.size() - 11, 'e');
  ::mkdir(fits.c_str(), 0700);
  ::mkdir(tooLong.c_str(), 0700);

  AgentServer atLimit(fits, grants, nullptr, options);
  ASSERT_EQ(atLimit.socketPath().size(), 103u);
  EXPECT_NO_THROW(atLimit.start());
  EXPECT_EQ(roundTrip(atLimit.socketPath(), "[]\n"), kNoGrant);

  AgentServer overLimit(tooLong, grants, nullptr, options);
  ASSERT_EQ(overLimit.socketPath().size(), 104u);
  EXPECT_EQ(failureText([&] { overLimit.start(); }),
            "Private state path is too long for the local agent socket");
  EXPECT_TRUE(std::filesystem::is_empty(tooLong));
}

TEST_F(AgentServerTest, ServesAnOrdinaryGrantAndAuditsOnlyWhatItDid) {
  const AgentGrant grant = grants.add({scope}, true, false, true);
  auto server = started();

  const std::string read =
      request(*server, {{"token", grant.token}, {"action", "read"}, {"path", scope + "/a.txt"}});
  EXPECT_EQ(read.back(), '}');  // one object, no trailing newline
  const Json readReply = Json::parse(read);
  EXPECT_EQ(readReply["ok"], true);
  EXPECT_EQ(strictBase64Decode(readReply["data_base64"].get<std::string>()), "alpha");

  request(*server, {{"token", grant.token},
                    {"action", "write_new"},
                    {"path", scope + "/new.txt"},
                    {"text", "private words"}});
  request(*server,
          {{"token", grant.token}, {"action", "list"}, {"path", scope}, {"destination", 7}});

  // Refusals and failed actions leave no line.
  EXPECT_EQ(Json::parse(request(
                *server,
                {{"token", grant.token}, {"action", "read"}, {"path", dir / "elsewhere"}}))["ok"],
            false);
  EXPECT_EQ(Json::parse(request(*server, {{"token", grant.token},
                                          {"action", "read"},
                                          {"path", scope + "/missing.txt"}}))["error"],
            std::strerror(ENOENT));
  EXPECT_EQ(Json::parse(request(*server, {{"token", grant.token},
                                          {"action", "write_new"},
                                          {"path", scope + "/new.txt"},
                                          {"text", "again"}}))["ok"],
            false);

  const std::vector<std::string> lines = auditLines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(modeOf(data + "/agent-audit.jsonl"), 0600);
  const std::string at = R"("at":)";
  for (const std::string& line : lines) {
    // Keys in sorted order, no token and no text.
    const size_t keys[] = {line.find(R"("action":)"),      line.find(at),
                           line.find(R"("destination":)"), line.find(R"("elevated":)"),
                           line.find(R"("ok":)"),          line.find(R"("path":)")};
    EXPECT_TRUE(std::is_sorted(std::begin(keys), std::end(keys))) << line;
    EXPECT_EQ(keys[0], 1u) << line;
    EXPECT_EQ(Json::parse(line).size(), 6u);
    EXPECT_EQ(line.find(grant.token), std::string::npos);
    EXPECT_EQ(line.find("private words"), std::string::npos);
  }
  EXPECT_EQ(Json::parse(lines[0])["action"], "read");
  EXPECT_EQ(Json::parse(lines[1])["action"], "write_new");
  EXPECT_EQ(Json::parse(lines[2])["destination"], "");
  EXPECT_EQ(Json::parse(lines[2])["elevated"], false);
  EXPECT_EQ(Json::parse(lines[2])["ok"], true);
}

TEST_F(AgentServerTest, RefusesMalformedAndUngrantedRequestsWithoutAudit) {
  auto now =
      std::make_shared<std::atomic<WallClock::rep>>(WallClock::now().time_since_epoch().count());
  GrantStore clocked([now] { return WallClock::time_point(WallClock::duration(now->load())); });
  AgentServer server(data, clocked, nullptr, options);
  server.start();
  const std::string path = server.socketPath();

  EXPECT_EQ(roundTrip(path, "{}\n"), kNoGrant);
  EXPECT_EQ(roundTrip(path, "[]\n"), kNoGrant);
  EXPECT_EQ(roundTrip(path, R"({"token":7})"
                            "\n"),
            kNoGrant);
  EXPECT_EQ(roundTrip(path, R"({"action":"list"})"
                            "\n"),
            kNoGrant);
  EXPECT_EQ(roundTrip(path, R"("token")"
                            "\n"),
            kNoGrant);
  EXPECT_EQ(roundTrip(path, R"({"token":"nope","action":"list"})"
                            "\n"),
            kUnknownGrant);

  // Two objects in one chunk are one invalid request, and get one reply.
  const AgentGrant grant = clocked.add({scope}, false, false, true);
  const std::string one =
      jsonData(Json{{"token", grant.token}, {"action", "stat"}, {"path", scope}});
  const Json twice = Json::parse(roundTrip(path, one + "\n" + one + "\n"));
  EXPECT_EQ(twice["ok"], false);
  EXPECT_NE(twice["error"].get<std::string>().find("parse error"), std::string::npos);
  EXPECT_EQ(Json::parse(roundTrip(path, "{\"token\": \xff}\n"))["ok"], false);
  // Nesting deep enough to exhaust a stack when copied is refused before parsing.
  const std::string deep = std::string(32000, '[') + std::string(32000, ']') + "\n";
  EXPECT_EQ(roundTrip(path, deep),
            R"({"error":"JSON text nests arrays or objects too deeply","ok":false})");

  EXPECT_EQ(Json::parse(roundTrip(path, one + "\n"))["ok"], true);  // the one line below
  *now += std::chrono::duration_cast<WallClock::duration>(31min).count();
  EXPECT_EQ(roundTrip(path, one + "\n"), kUnknownGrant);  // expired
  clocked.revokeAll();
  *now -= std::chrono::duration_cast<WallClock::duration>(31min).count();
  EXPECT_EQ(roundTrip(path, one + "\n"), kUnknownGrant);  // revoked

  EXPECT_EQ(auditLines().size(), 1u);
}

TEST_F(AgentServerTest, RequestLimitIs65536BytesNewlineIncluded) {
  const AgentGrant grant = grants.add({scope}, false, false, true);
  auto server = started();
  const std::string body =
      jsonData(Json{{"token", grant.token}, {"action", "stat"}, {"path", scope}});
  const auto padded = [&](size_t total) {
    return body + std::string(total - body.size() - 1, ' ') + "\n";
  };

  ASSERT_EQ(padded(65536).size(), 65536u);
  EXPECT_EQ(Json::parse(roundTrip(server->socketPath(), padded(65536)))["ok"], true);
  EXPECT_EQ(roundTrip(server->socketPath(), padded(65537)),
            R"({"error":"Request exceeds limit","ok":false})");
  // Also when the excess comes without any newline.
  EXPECT_EQ(roundTrip(server->socketPath(), std::string(200000, ' ')),
            R"({"error":"Request exceeds limit","ok":false})");
  EXPECT_EQ(auditLines().size(), 1u);
}

TEST_F(AgentServerTest, RequestEndsAtNewlineHalfCloseOrSilence) {
  const AgentGrant grant = grants.add({scope}, false, false, true);
  auto server = started();
  const std::string body =
      jsonData(Json{{"token", grant.token}, {"action", "stat"}, {"path", scope}});

  EXPECT_EQ(Json::parse(roundTrip(server->socketPath(), body, /*halfClose=*/true))["ok"], true);

  // Neither newline nor half-close: the read timeout ends the request.
  auto began = SteadyClock::now();
  EXPECT_EQ(Json::parse(roundTrip(server->socketPath(), body, /*halfClose=*/false))["ok"], true);
  EXPECT_GE(SteadyClock::now() - began, options.readTimeout);

  // A client that sends nothing gets the parser's complaint about an empty request.
  const Json silent = Json::parse(roundTrip(server->socketPath(), "", /*halfClose=*/false));
  EXPECT_EQ(silent["ok"], false);
  EXPECT_NE(silent["error"].get<std::string>().find("unexpected end of input"), std::string::npos);

  // Bytes after the newline are part of what gets parsed, so they spoil the request.
  EXPECT_EQ(Json::parse(roundTrip(server->socketPath(), body + "\nextra"))["ok"], false);
}

TEST_F(AgentServerTest, ATricklingClientCannotHoldTheBroker) {
  const AgentGrant grant = grants.add({scope}, false, false, true);
  auto server = started();

  UniqueFd slow = connectTo(server->socketPath());
  ASSERT_TRUE(slow.valid());
  std::atomic<bool> done{false};
  // One byte every 200 ms: never silent for the 300 ms read timeout.
  std::thread trickle([&] {
    const std::string body =
        jsonData(Json{{"token", grant.token}, {"action", "stat"}, {"path", scope}});
    for (size_t i = 0; i < body.size() && !done; ++i) {
      if (::send(slow.get(), &body[i], 1, MSG_NOSIGNAL) != 1) {
        break;
      }
      std::this_thread::sleep_for(200ms);
    }
  });
  const auto began = SteadyClock::now();
  const std::string reply = readToEnd(slow.get());
  const auto took = SteadyClock::now() - began;
  done = true;
  trickle.join();

  EXPECT_EQ(reply, R"({"error":"Request timed out","ok":false})");
  EXPECT_GE(took, options.requestTimeLimit - 50ms);
  EXPECT_LT(took, options.requestTimeLimit + 1s);
  // The broker is free again at once.
  EXPECT_EQ(Json::parse(request(
                *server, {{"token", grant.token}, {"action", "stat"}, {"path", scope}}))["ok"],
            true);
  EXPECT_EQ(auditLines().size(), 1u);
}

TEST_F(AgentServerTest, PeersOfAnotherUserGetNothing) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "needs root to connect as another user";
  }
  const AgentGrant grant = grants.add({scope}, false, false, true);
  auto server = started();
  // Open the way to the socket for the other user, so that only the peer check stands.
  ::chmod(dir.path().c_str(), 0711);
  ::chmod(data.c_str(), 0711);
  ::chmod(server->socketPath().c_str(), 0666);

  const std::string line =
      jsonData(Json{{"token", grant.token}, {"action", "stat"}, {"path", scope}}) + "\n";
  const pid_t child = ::fork();
  if (child == 0) {
    if (::setgroups(0, nullptr) != 0 || ::setgid(testing::kNobody) != 0 ||
        ::setuid(testing::kNobody) != 0) {
      ::_exit(3);
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, server->socketPath().data(), server->socketPath().size());
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

  EXPECT_EQ(
      Json::parse(sendAgentRequest(server->socketPath(), line.substr(0, line.size() - 1)))["ok"],
      true);
  EXPECT_EQ(auditLines().size(), 1u);
}

TEST_F(AgentServerTest, ConcurrentClientsAreServedOneAtATime) {
  const AgentGrant ordinary = grants.add({scope}, false, false, true);
  const std::string lift = dir.mkdir("lift");
  const AgentGrant elevated = grants.add({lift}, true, true, true);
  ScriptedApprover approver;
  approver.holdFor = 20ms;
  auto server = started(&approver);

  constexpr int kClients = 12;
  for (int i = 0; i < kClients; ++i) {
    dir.write("scope/f" + std::to_string(i) + ".txt", "content-" + std::to_string(i));
  }
  std::vector<std::string> replies(kClients);
  std::vector<std::thread> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.emplace_back([&, i] {
      const std::string name = "f" + std::to_string(i) + ".txt";
      const Json body =
          i % 2 == 0
              ? Json{{"token", ordinary.token}, {"action", "read"}, {"path", scope + "/" + name}}
              : Json{{"token", elevated.token},
                     {"action", "write_new"},
                     {"path", lift + "/" + name},
                     {"text", "x"}};
      replies[i] = sendAgentRequest(server->socketPath(), jsonData(body));
    });
  }
  for (std::thread& client : clients) {
    client.join();
  }
  for (int i = 0; i < kClients; ++i) {
    const Json reply = Json::parse(replies[i]);
    ASSERT_EQ(reply["ok"], true) << replies[i];
    if (i % 2 == 0) {
      EXPECT_EQ(strictBase64Decode(reply["data_base64"].get<std::string>()),
                "content-" + std::to_string(i));
    } else {
      EXPECT_EQ(reply["path"], lift + "/f" + std::to_string(i) + ".txt");
    }
  }
  EXPECT_EQ(approver.maxInside.load(), 1);
  EXPECT_EQ(launches.load(), kClients / 2);
  EXPECT_EQ(auditLines().size(), static_cast<size_t>(kClients));
}

TEST_F(AgentServerTest, ElevatedRequestsNeedApprovalAndAreAlwaysAudited) {
  const std::string lift = dir.mkdir("lift");
  const AgentGrant grant = grants.add({lift}, true, true, true);
  const Json move{{"token", grant.token}, {"action", "mkdir"}, {"path", lift + "/made"}};

  {
    // Headless: no dialog can be shown, so nothing is elevated.
    auto headless = started(nullptr);
    EXPECT_EQ(request(*headless, move), kDenied);
  }
  ScriptedApprover approver;
  auto server = started(&approver);
  approver.decision = false;
  EXPECT_EQ(request(*server, move), kDenied);
  approver.decision = true;
  EXPECT_EQ(request(*server, move), jsonData(Json{{"ok", true}, {"path", lift + "/made"}}));
  // A UI that is shutting down and does not run the work leaves the request denied.
  approver.runWork = false;
  EXPECT_EQ(request(*server, move), kDenied);
  approver.runWork = true;
  // Extra fields nested as deep as the limit allows are copied into the helper's payload.
  const auto nestedIn = [&](int depth) {
    return jsonData(move).insert(
               1, "\"deep\":" + std::string(depth - 1, '[') + std::string(depth - 1, ']') + ",") +
           "\n";
  };
  EXPECT_EQ(roundTrip(server->socketPath(), nestedIn(kMaxRequestNesting)),
            jsonData(Json{{"ok", true}, {"path", lift + "/made"}}));

  // Refused by preflight: no dialog, no helper, no line.
  const size_t dialogs = approver.shown.size();
  EXPECT_EQ(Json::parse(request(
                *server,
                {{"token", grant.token}, {"action", "read"}, {"path", lift + "/.ssh/id"}}))["ok"],
            false);
  EXPECT_EQ(
      Json::parse(request(
          *server, {{"token", grant.token}, {"action", "delete"}, {"path", lift + "/x"}}))["ok"],
      false);
  EXPECT_EQ(Json::parse(roundTrip(server->socketPath(), nestedIn(kMaxRequestNesting + 1)))["ok"],
            false);
  EXPECT_EQ(approver.shown.size(), dialogs);
  EXPECT_EQ(launches.load(), 2);

  const std::vector<std::string> lines = auditLines();
  ASSERT_EQ(lines.size(), 5u);
  for (size_t i = 0; i < lines.size(); ++i) {
    const Json record = Json::parse(lines[i]);
    EXPECT_EQ(record["elevated"], true);
    EXPECT_EQ(record["ok"], i == 2 || i == 4);
    EXPECT_EQ(record["action"], "mkdir");
  }
}

TEST_F(AgentServerTest, ElevatedRequestRunsTheRealHelperAsRoot) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "the helper acts only as root; pkexec cannot be answered in a test";
  }
  const std::string lift = dir.mkdir("lift");
  const AgentGrant grant = grants.add({lift}, true, true, true);
  options.launchHelper = [](const std::string& value) {
    return runProcess({testing::tamberBinary(), "--privileged-op", value});
  };
  ScriptedApprover approver;
  auto server = started(&approver);

  const Json created = Json::parse(request(*server, {{"token", grant.token},
                                                     {"action", "write_new"},
                                                     {"path", lift + "/root.txt"},
                                                     {"text", "written by the helper"}}));
  EXPECT_EQ(created["ok"], true) << created;
  EXPECT_EQ(readFile(lift + "/root.txt"), "written by the helper");
  // The helper's own refusal comes back unchanged.
  const Json again = Json::parse(request(*server, {{"token", grant.token},
                                                   {"action", "write_new"},
                                                   {"path", lift + "/root.txt"},
                                                   {"text", "again"}}));
  EXPECT_EQ(again["ok"], false);
  EXPECT_EQ(readFile(lift + "/root.txt"), "written by the helper");

  const std::vector<std::string> lines = auditLines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(Json::parse(lines[0])["ok"], true);
  EXPECT_EQ(Json::parse(lines[1])["ok"], false);
}

TEST_F(AgentServerTest, AnUnwritableAuditLogNeverChangesTheReply) {
  const AgentGrant grant = grants.add({scope}, false, false, true);
  auto server = started();
  const Json stat{{"token", grant.token}, {"action", "stat"}, {"path", scope + "/a.txt"}};
  const std::string expected = request(*server, stat);
  ASSERT_EQ(Json::parse(expected)["ok"], true);

  const std::string log = data + "/agent-audit.jsonl";
  ASSERT_EQ(::chmod(log.c_str(), 0400), 0);
  const std::string before = readFile(log);
  EXPECT_EQ(request(*server, stat), expected);
  if (::geteuid() != 0) {
    EXPECT_EQ(readFile(log), before);  // root writes through the mode bits
  }

  ASSERT_EQ(::unlink(log.c_str()), 0);
  ASSERT_EQ(::mkdir(log.c_str(), 0700), 0);
  EXPECT_EQ(request(*server, stat), expected);
  EXPECT_TRUE(std::filesystem::is_empty(log));
}

TEST_F(AgentServerTest, AClientThatHangsUpBeforeTheReplyHarmsNothing) {
  const AgentGrant grant = grants.add({scope}, false, false, true);
  auto server = started();
  const std::string line =
      jsonData(Json{{"token", grant.token}, {"action", "stat"}, {"path", scope}}) + "\n";
  for (int i = 0; i < 3; ++i) {
    UniqueFd gone = connectTo(server->socketPath());
    ASSERT_EQ(::send(gone.get(), line.data(), line.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(line.size()));
  }  // closed unread: writing the reply must not raise SIGPIPE in the broker's process
  EXPECT_EQ(Json::parse(roundTrip(server->socketPath(), line))["ok"], true);
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
  EXPECT_EQ(readToEnd(silent.get()), "");
}

}  // namespace
}  // namespace tamber
