#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <future>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "access/grant.h"
#include "agent/agent_server.h"
#include "engine/larkspan_harness.h"
#include "support/temp_dir.h"

namespace tamber::testing {
namespace {

// A stand-in broker on DATA/agent.sock for one connection: it reads the request up to its
// newline, answers `reply` (nothing when empty) and hangs up.
class OneShotBroker {
 public:
  OneShotBroker(const std::string& data, std::string reply) : reply_(std::move(reply)) {
    listener_.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string path = data + "/agent.sock";
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (::bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_.get(), 1) != 0) {
      ADD_FAILURE() << "cannot listen on " << path;
      return;
    }
    received_ = std::async(std::launch::async, [this] { return serveOne(); });
  }

  // What the client sent, bytes as they came.
  std::string received() { return received_.valid() ? received_.get() : std::string(); }

 private:
  std::string serveOne() {
    UniqueFd client(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    std::string request;
    char buffer[4096];
    while (request.find('\n') == std::string::npos) {
      const ssize_t n = ::read(client.get(), buffer, sizeof buffer);
      if (n <= 0) {
        break;
      }
      request.append(buffer, static_cast<size_t>(n));
    }
    if (!reply_.empty()) {
      (void)!::write(client.get(), reply_.data(), reply_.size());
    }
    return request;
  }

  UniqueFd listener_;
  std::string reply_;
  std::future<std::string> received_;
};

TEST(AgentCommand, SendsTheRequestWithTheGrantTokenAndPrintsTheReply) {
  TempDir dir;
  const std::string data = dir.mkdir("data");
  const std::string refusal = R"({"error":"View-only grant cannot edit files","ok":false})";
  OneShotBroker broker(data, refusal);

  const BinaryRun run = runLarkspan(
      {"--data", data, "--json", "agent",
       R"({"action":"write_new","path":"/home/me/x.txt","text":"a\nb","token":"forged"})"},
      {{"TAMBER_GRANT", "real-token'\"$"}});
  // A refusal is still a reply: printed as it came, status 0.
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, refusal + "\n");

  const std::string sent = broker.received();
  ASSERT_FALSE(sent.empty());
  EXPECT_EQ(sent.find('\n'), sent.size() - 1) << "one line, ended by its newline";
  const Json request = Json::parse(sent);
  EXPECT_EQ(request.at("token"), "real-token'\"$");
  EXPECT_EQ(request.at("action"), "write_new");
  EXPECT_EQ(request.at("text"), "a\nb");
}

TEST(AgentCommand, FailsAloudWithoutGrantRequestObjectOrBroker) {
  TempDir dir;
  const std::string data = dir.mkdir("data");
  const std::string request = R"({"action":"list","path":"/home/me"})";
  struct Case {
    const char* what;
    std::vector<std::string> arguments;
    std::optional<std::string> grant;
    int status;
    const char* message;
  };
  const Case cases[] = {
      {"no grant", {"--data", data, "--json", "agent", request}, std::nullopt, 2, "TAMBER_GRANT"},
      {"empty grant", {"--data", data, "--json", "agent", request}, "", 2, "TAMBER_GRANT"},
      {"array", {"--data", data, "--json", "agent", "[1,2]"}, "t", 2, "JSON object"},
      {"not JSON", {"--data", data, "--json", "agent", "list /home"}, "t", 2, "JSON object"},
      {"no request", {"--data", data, "--json", "agent"}, "t", 2, "request"},
      {"no broker", {"--data", data, "--json", "agent", request}, "t", 1, "could not reach"},
  };
  for (const Case& c : cases) {
    const BinaryRun run = runLarkspan(c.arguments, {{"TAMBER_GRANT", c.grant}});
    EXPECT_EQ(run.status, c.status) << c.what;
    EXPECT_TRUE(run.out.empty()) << c.what << ": " << run.out;
    EXPECT_NE(run.err.find(c.message), std::string::npos) << c.what << ": " << run.err;
  }

  // A broker that hangs up without a word is a failure, not an empty success.
  OneShotBroker silent(data, "");
  const BinaryRun run =
      runLarkspan({"--data", data, "--json", "agent", request}, {{"TAMBER_GRANT", "t"}});
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(run.out.empty());
  EXPECT_NE(silent.received().find("\"token\":\"t\""), std::string::npos);
}

// The words of a shell command line that uses only single quotes and '\'' for quoting.
std::vector<std::string> shellWords(const std::string& line) {
  std::vector<std::string> words;
  std::string word;
  bool inWord = false;
  for (size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (c == '\'') {
      const size_t close = line.find('\'', i + 1);
      word += line.substr(i + 1, close - i - 1);
      i = close;
      inWord = true;
    } else if (c == '\\' && i + 1 < line.size()) {
      word += line[++i];
      inWord = true;
    } else if (c == ' ') {
      if (inWord) {
        words.push_back(word);
      }
      word.clear();
      inWord = false;
    } else {
      word += c;
      inWord = true;
    }
  }
  if (inWord) {
    words.push_back(word);
  }
  return words;
}

std::string lineAfter(const std::string& text, const std::string& prefix) {
  const size_t at = text.find("\n" + prefix);
  if (at == std::string::npos) {
    return {};
  }
  const size_t start = at + 1 + prefix.size();
  return text.substr(start, text.find('\n', start) - start);
}

TEST(Invitation, GivesAnAgentAWorkingCommandLineAndAnExampleForEachAction) {
  TempDir dir;
  const std::string data = dir.mkdir("agent's data");
  const BinaryRun run = runLarkspan({"--data", data, "invite", "--json"});
  ASSERT_EQ(run.status, 0) << run.err;
  const Json invitation = Json::parse(run.out);
  ASSERT_TRUE(invitation.is_object());
  EXPECT_EQ(invitation.at("product"), "Tamber");
  const std::string text = invitation.at("text");
  EXPECT_NE(text.find("TAMBER_GRANT"), std::string::npos);
  EXPECT_NE(text.back(), '\n') << "the desktop app appends the capability right after it";

  const std::vector<std::string> words = shellWords(lineAfter(text, "CLI: "));
  const std::string executable = std::filesystem::canonical(larkspanBinary()).string();
  EXPECT_EQ(words,
            (std::vector<std::string>{executable, "--data", data, "--json", "agent", "REQUEST"}));

  // The "mcpServers" block a harness pastes: the same larkspan and data directory, "mcp",
  // and the token to fill in from the export line.
  const size_t block = text.find('{', text.find("\nMCP: "));
  const Json servers = Json::parse(text.substr(block, text.find("\n}\n", block) + 2 - block));
  const Json& tamber = servers.at("mcpServers").at("tamber");
  EXPECT_EQ(tamber.at("command"), executable);
  EXPECT_EQ(tamber.at("args"), Json({"--data", data, "mcp"}));
  EXPECT_TRUE(tamber.at("env").at("TAMBER_GRANT").is_string());

  // Every action, with an example that is a request of that action carrying its fields.
  const std::map<std::string, std::vector<std::string>> fields = {
      {"stat", {"path"}},
      {"list", {"path"}},
      {"read", {"path"}},
      {"write_new", {"path", "text"}},
      {"mkdir", {"path"}},
      {"copy", {"path", "destination"}},
      {"move", {"path", "destination"}},
      {"replace", {"path", "text", "expected_sha256"}},
  };
  std::set<std::string> exemplified;
  for (size_t at = text.find("Example: "); at != std::string::npos;
       at = text.find("Example: ", at + 1)) {
    const size_t start = at + std::strlen("Example: ");
    const Json example = Json::parse(text.substr(start, text.find('\n', start) - start));
    const std::string action = example.at("action");
    ASSERT_EQ(fields.count(action), 1u) << action;
    for (const std::string& field : fields.at(action)) {
      EXPECT_TRUE(example.at(field).is_string()) << action << " " << field;
    }
    EXPECT_FALSE(example.contains("token")) << "the token comes from TAMBER_GRANT";
    exemplified.insert(action);
  }
  EXPECT_EQ(exemplified.size(), fields.size());

  // The inventory command of the text runs as written.
  const std::vector<std::string> inventory = shellWords(lineAfter(text, "Inventory command: "));
  ASSERT_EQ(inventory.size(), 5u);
  EXPECT_EQ(inventory[0], executable);
  runLarkspan({"--data", data, "--root", dir.mkdir("root"), "index"});
  const BinaryRun listed =
      runLarkspan(std::vector<std::string>(inventory.begin() + 1, inventory.end()));
  EXPECT_EQ(listed.status, 0) << listed.err;
  EXPECT_EQ(Json::parse(listed.out).at("root"), dir / "root");
}

TEST(AgentCommand, ReachesTheRealBrokerAsTheInvitationSays) {
  TempDir dir;
  const std::string data = dir.mkdir("data");
  ::chmod(data.c_str(), 0700);
  const std::string scope = dir.mkdir("scope");
  dir.write("scope/notes.txt", "agent fixture");
  GrantStore grants;
  AgentServer server(data, grants, nullptr);
  server.start();
  const AgentGrant view = grants.add({scope}, false, false, true);

  const BinaryRun invite = runLarkspan({"--data", data, "invite", "--json"});
  std::vector<std::string> command =
      shellWords(lineAfter(Json::parse(invite.out).at("text"), "CLI: "));
  ASSERT_EQ(command.size(), 6u);
  command.erase(command.begin());  // the executable; runLarkspan adds it
  auto call = [&](const Json& request) {
    command.back() = jsonData(request);
    return runLarkspan(command, {{"TAMBER_GRANT", view.token}});
  };

  const BinaryRun read = call({{"action", "read"}, {"path", scope + "/notes.txt"}});
  EXPECT_EQ(read.status, 0) << read.err;
  const Json readReply = Json::parse(read.out);
  EXPECT_EQ(readReply.at("ok"), true);
  EXPECT_EQ(readReply.at("data_base64"), "YWdlbnQgZml4dHVyZQ==");

  const BinaryRun denied = call({{"action", "write_new"}, {"path", scope + "/x"}, {"text", "no"}});
  EXPECT_EQ(denied.status, 0) << denied.err;
  EXPECT_EQ(Json::parse(denied.out),
            Json::parse(R"({"error":"View-only grant cannot edit files","ok":false})"));
  EXPECT_FALSE(std::filesystem::exists(scope + "/x"));

  grants.revokeAll();
  const BinaryRun revoked = call({{"action", "read"}, {"path", scope + "/notes.txt"}});
  EXPECT_EQ(revoked.status, 0);
  EXPECT_EQ(Json::parse(revoked.out).at("ok"), false);
}

TEST(CommandLine, RefusesWhatItCannotRun) {
  TempDir dir;
  const std::string data = dir / "data";
  const std::vector<std::vector<std::string>> wrong = {
      {"invite"},
      {"--data", data},
      {"--data", data, "delete"},
      {"--data", data, "serve", "--port", "8080"},
      {"--data", data, "serve", "--port", "0", "--interval", "60"},
      {"--data", data, "serve", "--port", "70000", "--interval", "60"},
      {"--data", data, "serve", "--port", "8080", "--interval", "soon"},
      {"--data", data, "invite", "--bogus"},
      {"--data", data, "invite", "extra"},
  };
  for (const std::vector<std::string>& arguments : wrong) {
    const BinaryRun run = runLarkspan(arguments);
    EXPECT_EQ(run.status, 2) << arguments.back();
    EXPECT_NE(run.err.find("Usage: larkspan"), std::string::npos) << arguments.back();
  }
  EXPECT_EQ(runLarkspan({"--help"}).status, 0);
  EXPECT_FALSE(std::filesystem::exists(data)) << "a refused command line creates nothing";
}

}  // namespace
}  // namespace tamber::testing
