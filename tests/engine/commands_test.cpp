#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "access/grant.h"
#include "agent/agent_client.h"
#include "agent/agent_server.h"
#include "base/private_directory.h"
#include "engine/larkspan_harness.h"
#include "platform/unix_socket.h"
#include "support/temp_dir.h"

namespace tamber::testing {
namespace {

TEST(CommandLine, RefusesWhatItCannotRunAndFailsAloudWithoutGrantRequestObjectOrBroker) {
  TempDir dir;
  const std::string data = dir / "data";
  const std::string request = R"({"action":"list","path":"/home/me"})";
  struct Case {
    std::vector<std::string> arguments;
    std::optional<std::string> grant;
    int status;
    const char* message;
  };
  const Case cases[] = {
      {{"invite"}, "t", 2, "Usage: larkspan"},
      {{"--data", data}, "t", 2, "Usage: larkspan"},
      {{"--data", data, "delete"}, "t", 2, "Usage: larkspan"},
      {{"--data", data, "serve", "--port", "8080"}, "t", 2, "Usage: larkspan"},
      {{"--data", data, "serve", "--port", "0", "--interval", "60"}, "t", 2, "Usage: larkspan"},
      {{"--data", data, "serve", "--port", "80", "--interval", "soon"}, "t", 2, "Usage: larkspan"},
      {{"--data", data, "invite", "--bogus"}, "t", 2, "Usage: larkspan"},
      {{"--data", data, "invite", "extra"}, "t", 2, "Usage: larkspan"},
      {{"--data", data, "--json", "agent"}, "t", 2, "Usage: larkspan"},
      {{"--data", data, "--json", "agent", request}, "", 2, "TAMBER_GRANT"},
      {{"--data", data, "--json", "agent", "list /home"}, "t", 2, "JSON object"},
      {{"--data", data, "--json", "agent", request}, "t", 1, "could not reach"},
      {{"--json", "--data", data, "invite", "extra"}, "t", 2, "Usage: larkspan"},
      {{"--data", data, "inventory", "--path", "x", "--json"}, "t", 1, "no inventory"},
  };
  for (const Case& c : cases) {
    const BinaryRun run = runLarkspan(c.arguments, {{"TAMBER_GRANT", c.grant}});
    EXPECT_EQ(run.status, c.status) << c.arguments.back();
    EXPECT_NE(run.err.find(c.message), std::string::npos) << c.arguments.back() << ": " << run.err;
    // Asked for JSON, a failed run still prints one object: its complaint as "error".
    if (std::find(c.arguments.begin(), c.arguments.end(), "--json") == c.arguments.end()) {
      EXPECT_TRUE(run.out.empty()) << c.arguments.back() << ": " << run.out;
    } else {
      const std::string complaint = run.err.substr(10, run.err.find('\n') - 10);
      EXPECT_EQ(run.out, jsonData(Json{{"error", complaint}}) + "\n") << c.arguments.back();
    }
  }
  EXPECT_EQ(runLarkspan({"--help"}).status, 0);
  EXPECT_FALSE(std::filesystem::exists(data)) << "a refused command line creates nothing";

  // A broker that reads the request and hangs up without a word is a failure, not an empty
  // success.
  dir.mkdir("data");
  UniqueFd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const sockaddr_un address = *unixSocketAddress(data + "/agent.sock");
  ASSERT_EQ(::bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(listener.get(), 1), 0);
  std::thread silent([&] {
    UniqueFd client(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    for (char c = 0; ::read(client.get(), &c, 1) == 1 && c != '\n';) {
    }
  });
  const BinaryRun run =
      runLarkspan({"--data", data, "--json", "agent", request}, {{"TAMBER_GRANT", "t"}});
  ::shutdown(listener.get(), SHUT_RDWR);  // wakes the accept if the run never connected
  silent.join();
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.out.find("without a reply"), std::string::npos) << run.out;
  EXPECT_NE(run.err.find("without a reply"), std::string::npos) << run.err;
}

// The data directory holds the index, the page's secret and the broker's socket. Every
// command that uses it makes it private first, as the desktop does: one open to others is
// tightened, a link or another user's directory is refused and left untouched.
TEST(DataDirectory, IsTightenedOrRefusedAsTheDesktopDoes) {
  TempDir dir;
  const std::string root = dir.mkdir("root");
  const bool superuser = ::geteuid() == 0;
  struct Case {
    const char* name;
    mode_t mode;
    bool linked;
    uid_t owner;
    const char* refusal;  // null: tightened to 0700
  };
  const Case cases[] = {
      {"open to read", 0755, false, 0, nullptr},
      {"open to write", 0777, false, 0, nullptr},
      {"a link", 0755, true, 0, kDataDirectoryIsALink},
      {"another user's", 0777, false, kNobody, kDataDirectoryOfAnotherUser},
  };
  for (const Case& c : cases) {
    if (c.owner != 0 && !superuser) {
      continue;  // only root can give a directory away
    }
    const std::string folder = dir.mkdir(c.name);
    ASSERT_EQ(::chmod(folder.c_str(), c.mode), 0);
    ASSERT_EQ(::chown(folder.c_str(), c.owner != 0 ? c.owner : ::geteuid(), -1), 0);
    const std::string data = c.linked ? dir / (std::string(c.name) + " link") : folder;
    if (c.linked) {
      ASSERT_EQ(::symlink(folder.c_str(), data.c_str()), 0);
    }
    const std::vector<std::vector<std::string>> runs = {
        {"--data", data, "--root", root, "--json", "index"},
        {"--data", data, "--json", "inventory"},
        {"--data", data, "--json", "agent", R"({"action":"stat","path":"/"})"},
    };
    for (const std::vector<std::string>& arguments : runs) {
      const BinaryRun run = runLarkspan(arguments, {{"TAMBER_GRANT", "t"}});
      if (c.refusal == nullptr) {
        EXPECT_EQ(run.err.find("data directory"), std::string::npos) << c.name << ": " << run.err;
        continue;
      }
      const std::string complaint = "could not use the data directory " + data + ": " + c.refusal;
      EXPECT_EQ(run.status, 1) << c.name;
      EXPECT_EQ(run.err, "larkspan: " + complaint + "\n") << c.name;
      EXPECT_EQ(run.out, jsonData(Json{{"error", complaint}}) + "\n") << c.name;
    }
    struct stat status {};
    ASSERT_EQ(::stat(folder.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, c.refusal == nullptr ? 0700u : c.mode) << c.name;
    EXPECT_EQ(std::filesystem::is_empty(folder), c.refusal != nullptr) << c.name;
  }
}

// The token goes only to a broker of the user's own: a process of another user listening
// at agent.sock (possible wherever that user may write) never receives it, from the library
// call or from `larkspan agent`, which `larkspan mcp` shares.
TEST(AgentClient, SendsNoTokenToASocketOfAnotherUser) {
  if (::geteuid() != 0) {
    SKIP_WITHOUT_REAL_PART("listening as another user needs root, to become that user");
  }
  TempDir dir;
  ASSERT_EQ(::chmod(dir.path().c_str(), 0711), 0);
  const std::string data = dir.mkdir("data");
  ASSERT_EQ(::chmod(data.c_str(), 0777), 0);
  const std::string socketPath = data + "/agent.sock";
  int ready[2], done[2], received[2];
  ASSERT_EQ(::pipe2(ready, O_CLOEXEC) | ::pipe2(done, O_CLOEXEC) | ::pipe2(received, O_CLOEXEC), 0);
  const pid_t listener = ::fork();
  if (listener == 0) {
    // As nobody: listen at the socket until the test is done, then report the bytes read.
    ::close(done[1]);
    const sockaddr_un address = *unixSocketAddress(socketPath);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0 ||
        ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, 8) != 0) {
      ::_exit(1);
    }
    if (::write(ready[1], "r", 1) != 1) {
      ::_exit(1);
    }
    long bytes = 0;
    pollfd waits[2] = {{fd, POLLIN, 0}, {done[0], POLLIN, 0}};
    while (::poll(waits, 2, 10'000) > 0 && waits[1].revents == 0) {
      const int client = ::accept(fd, nullptr, nullptr);
      char buffer[4096];
      pollfd readable{client, POLLIN, 0};
      for (ssize_t n = 1; n > 0 && ::poll(&readable, 1, 1000) > 0;) {
        n = ::read(client, buffer, sizeof buffer);
        bytes += n > 0 ? n : 0;
      }
      ::close(client);
    }
    ::_exit(::write(received[1], &bytes, sizeof bytes) == sizeof bytes ? 0 : 1);
  }
  ::close(done[0]);
  char byte = 0;
  ASSERT_EQ(::read(ready[0], &byte, 1), 1) << "the listener did not start";

  const std::string token = "a-token-for-the-user's-broker-only";
  EXPECT_EQ(failureOf([&] { sendAgentRequest(socketPath, R"({"token":")" + token + R"("})"); }),
            kBrokerOfAnotherUser);
  const BinaryRun run = runLarkspan({"--data", data, "--json", "agent", R"({"action":"list"})"},
                                    {{"TAMBER_GRANT", token}});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find(kBrokerOfAnotherUser), std::string::npos) << run.err;
  EXPECT_NE(run.out.find(kBrokerOfAnotherUser), std::string::npos) << run.out;

  ::close(done[1]);
  long bytes = -1;
  EXPECT_EQ(::read(received[0], &bytes, sizeof bytes), static_cast<ssize_t>(sizeof bytes));
  EXPECT_EQ(bytes, 0) << "the listener of another user received the request";
  int status = 0;
  ::waitpid(listener, &status, 0);
  for (const int fd : {ready[0], ready[1], received[0], received[1]}) {
    ::close(fd);
  }
}

// The line of `text` that starts with `prefix`, the prefix left out.
std::string lineAfter(const std::string& text, const std::string& prefix) {
  const size_t start = text.find("\n" + prefix) + 1 + prefix.size();
  return start > prefix.size() ? text.substr(start, text.find('\n', start) - start) : "";
}

// Runs a command line of the invitation through the shell, as an agent does.
BinaryRun runAsAgent(const std::string& line, const std::string& token) {
  RunOptions options;
  options.environment = {{"TAMBER_GRANT", token}};
  return runBinary({"/bin/sh", "-c", line}, options);
}

TEST(Invitation, GivesAnAgentAWorkingCommandLineAndAnExampleForEachAction) {
  TempDir dir;
  // Names to be quoted for the shell.
  const std::string data = dir.mkdir("agent's data");
  const std::string scope = dir.mkdir("agent's scope");
  dir.write("agent's scope/notes.txt", "agent fixture");
  ::chmod(data.c_str(), 0700);
  GrantStore grants;
  AgentServer server(data, grants, nullptr);
  server.start();
  const std::string token = grants.add({scope}, true, false, true).token;

  const BinaryRun run = runLarkspan({"--data", data, "invite", "--json"});
  ASSERT_EQ(run.status, 0) << run.err;
  const Json invitation = Json::parse(run.out);
  EXPECT_EQ(invitation.at("product"), "Tamber");
  const std::string text = invitation.at("text");
  EXPECT_NE(text.back(), '\n') << "the desktop app appends the capability right after it";

  // The inventory command runs as written.
  ASSERT_EQ(runLarkspan({"--data", data, "--root", scope, "index"}).status, 0);
  const BinaryRun listed = runAsAgent(lineAfter(text, "Inventory command: "), "");
  EXPECT_EQ(listed.status, 0) << listed.err;
  EXPECT_EQ(Json::parse(listed.out).at("root"), scope);

  // Each example, written into the here-document as the text says, works in the granted
  // folder, one after the other; the replacement proves its read with the read's digest. The
  // command line sends the token of TAMBER_GRANT, whatever the request says. (A refusal comes
  // back as the broker sent it, with status 0: the agent client proof's revoked request.)
  const std::string line = lineAfter(text, "CLI: ");
  ASSERT_TRUE(line.ends_with(" agent - <<'EOF'")) << line;
  ASSERT_NE(text.find("CLI: " + line + "\nREQUEST\nEOF\n"), std::string::npos);
  std::string digest;
  std::set<std::string> actions;
  const std::regex exampleLine("Example: (\\{[^\n]*)");
  for (std::sregex_iterator it(text.begin(), text.end(), exampleLine), end; it != end; ++it) {
    Json example = Json::parse((*it)[1].str());
    EXPECT_FALSE(example.contains("token")) << "the token comes from TAMBER_GRANT";
    actions.insert(example.at("action").get<std::string>());
    example["token"] = "forged";
    std::string request = std::regex_replace(jsonData(example), std::regex("SCOPE"), scope);
    request = std::regex_replace(request, std::regex("SHA256_FROM_YOUR_READ"), digest);
    const BinaryRun sent = runAsAgent(line + "\n" + request + "\nEOF\n", token);
    const Json reply = Json::parse(sent.out, nullptr, false);
    EXPECT_EQ(sent.status, 0);
    EXPECT_EQ(reply.value("ok", false), true) << example << ": " << sent.out << sent.err;
    digest = reply.value("sha256", digest);
  }
  EXPECT_EQ(actions.size(), 8u);
  // A request given as the argument still works.
  const std::string stat = R"({"action":"stat","path":")" + scope + R"("})";
  const BinaryRun argument =
      runLarkspan({"--data", data, "--json", "agent", stat}, {{"TAMBER_GRANT", token}});
  EXPECT_EQ(Json::parse(argument.out).value("is_directory", false), true) << argument.err;
  EXPECT_NE(readFile(scope + "/notes.txt"), "agent fixture") << "the replacement did not happen";
}

}  // namespace
}  // namespace tamber::testing
