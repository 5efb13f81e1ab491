#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "access/grant.h"
#include "agent/agent_server.h"
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
  };
  for (const Case& c : cases) {
    const BinaryRun run = runLarkspan(c.arguments, {{"TAMBER_GRANT", c.grant}});
    EXPECT_EQ(run.status, c.status) << c.arguments.back();
    EXPECT_TRUE(run.out.empty()) << c.arguments.back() << ": " << run.out;
    EXPECT_NE(run.err.find(c.message), std::string::npos) << c.arguments.back() << ": " << run.err;
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
  EXPECT_TRUE(run.out.empty());
  EXPECT_NE(run.err.find("without a reply"), std::string::npos) << run.err;
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
