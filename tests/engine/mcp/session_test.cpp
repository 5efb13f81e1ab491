#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <future>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "engine/mcp/session.h"
#include "engine/mcp/stdio.h"
#include "platform/unique_fd.h"

// What a harness sees of the tools, their results and refusals, and read-only mode, are held
// against the real larkspan by the MCP SDK client test (sdk_test.cpp).
namespace tamber::engine::mcp {
namespace {

// Answers every call with {"ok": true} and remembers what it was asked. With `gated` the
// first call waits until the test lets it go.
class FakeBackend : public ToolBackend {
 public:
  explicit FakeBackend(bool gated = false) : gated_(gated) {}
  std::vector<Json> requests;
  std::promise<void> started;
  std::promise<void> release;

  Json perform(const Tool& tool, const Json& arguments) override {
    Json request = arguments;
    request["tool"] = tool.name;
    requests.push_back(request);
    if (gated_ && requests.size() == 1) {
      started.set_value();
      release.get_future().wait();
    }
    return {{"ok", true}};
  }

 private:
  const bool gated_;
};

Json request(const Json& id, const std::string& method, const Json& params = nullptr) {
  Json message = {{"jsonrpc", "2.0"}, {"id", id}, {"method", method}};
  if (!params.is_null()) {
    message["params"] = params;
  }
  return message;
}

Json initialize(const std::string& version) {
  return request(0, "initialize",
                 {{"protocolVersion", version},
                  {"capabilities", Json::object()},
                  {"clientInfo", {{"name", "test"}, {"version", "1"}}}});
}

Json call(const std::string& tool, const Json& arguments) {
  return request(7, "tools/call", {{"name", tool}, {"arguments", arguments}});
}

// The one response to `message`, parsed; null when there is none.
Json answerTo(Session& session, const Json& message) {
  const std::optional<std::string> response = session.handle(message.dump());
  return response ? Json::parse(*response) : Json();
}

TEST(McpSession, NegotiatesTheRevisionAndShowsToolsAsThatRevisionKnowsThem) {
  struct Case {
    const char* asked;
    const char* agreed;
    bool annotations;  // 2025-03-26 on
    bool structured;   // titles, output schemas and structured results: 2025-06-18 on
  };
  const Case cases[] = {
      {"2025-11-25", "2025-11-25", true, true},  {"2025-06-18", "2025-06-18", true, true},
      {"2025-03-26", "2025-03-26", true, false}, {"2024-11-05", "2024-11-05", false, false},
      {"2024-10-07", "2025-11-25", true, true},  {"2099-01-01", "2025-11-25", true, true},
  };
  for (const Case& c : cases) {
    FakeBackend backend;
    Session session(backend, false);
    EXPECT_EQ(answerTo(session, initialize(c.asked)).at("result").at("protocolVersion"), c.agreed);
    const Json tools = answerTo(session, request(1, "tools/list")).at("result").at("tools");
    ASSERT_EQ(tools.size(), 9u);
    for (const Json& tool : tools) {
      EXPECT_EQ(tool.contains("annotations"), c.annotations) << c.asked;
      EXPECT_EQ(tool.contains("outputSchema"), c.structured) << c.asked;
      EXPECT_EQ(tool.contains("title"), c.structured) << c.asked;
    }
    const Json result = answerTo(session, call("stat", {{"path", "/x"}})).at("result");
    EXPECT_EQ(result.contains("structuredContent"), c.structured) << c.asked;
  }
}

TEST(McpSession, AnswersBadMessagesWithTheirErrorsIgnoresNotificationsAndTakesBatches) {
  FakeBackend backend;
  Session session(backend, false);
  constexpr int kNoResponse = 0;
  constexpr int kToolError = 1;  // a result with isError, for the agent to correct
  struct Case {
    const char* what;
    std::string message;
    int code;
  };
  const Case cases[] = {
      // The parser's own refusals (bad UTF-8, deep nesting) are the agent request's, tested there.
      {"not JSON", "{\"jsonrpc\":", -32700},
      {"not an object", "42", -32600},
      {"wrong version", R"({"jsonrpc":"1.0","id":1,"method":"ping"})", -32600},
      {"null id", R"({"jsonrpc":"2.0","id":null,"method":"ping"})", -32600},
      {"unknown method", R"({"jsonrpc":"2.0","id":1,"method":"resources/list"})", -32601},
      {"params not an object", R"({"jsonrpc":"2.0","id":1,"method":"ping","params":[1]})", -32602},
      {"initialize without version", R"({"jsonrpc":"2.0","id":1,"method":"initialize"})", -32602},
      {"call without name", R"({"jsonrpc":"2.0","id":1,"method":"tools/call","params":{}})",
       -32602},
      {"unknown tool", call("delete", {{"path", "/x"}}).dump(), -32602},
      {"arguments not an object", call("stat", "x").dump(), kToolError},
      {"path not a string", call("stat", {{"path", 7}}).dump(), kToolError},
      {"a token smuggled in", call("stat", {{"path", "/x"}, {"token", "t"}}).dump(), kToolError},
      {"batch outside 2025-03-26", Json::array({request(1, "ping")}).dump(), -32600},
      {"a notification", R"({"jsonrpc":"2.0","method":"notifications/whatever"})", kNoResponse},
      {"a response", R"({"jsonrpc":"2.0","id":3,"result":{}})", kNoResponse},
  };
  for (const Case& c : cases) {
    const std::optional<std::string> response = session.handle(c.message);
    if (c.code == kNoResponse) {
      EXPECT_FALSE(response) << c.what;
      continue;
    }
    ASSERT_TRUE(response) << c.what;
    const Json parsed = Json::parse(*response);
    EXPECT_EQ(parsed.at("jsonrpc"), "2.0") << c.what;
    if (c.code == kToolError) {
      EXPECT_EQ(parsed.at("result").at("isError"), true) << c.what;
      EXPECT_EQ(parsed.at("result").at("structuredContent").at("ok"), false) << c.what;
    } else {
      EXPECT_EQ(parsed.at("error").at("code"), c.code) << c.what << ": " << *response;
    }
  }
  EXPECT_TRUE(backend.requests.empty()) << "nothing malformed reaches the broker";

  // In the one revision that has batches, a batch gets one array of responses.
  answerTo(session, initialize("2025-03-26"));
  const Json batch = {request(1, "ping"),
                      call("copy", {{"path", "/a"}, {"destination", "/b"}}),
                      {{"jsonrpc", "2.0"}, {"method", "notifications/initialized"}}};
  const Json responses = answerTo(session, batch);
  ASSERT_TRUE(responses.is_array());
  ASSERT_EQ(responses.size(), 2u);
  EXPECT_EQ(responses[0].at("id"), 1);
  EXPECT_EQ(responses[1].at("id"), 7);
  EXPECT_EQ(answerTo(session, Json::array()).at("error").at("code"), -32600);
  // The call reached the broker with its arguments as they were.
  const Json copy = {{"tool", "copy"}, {"path", "/a"}, {"destination", "/b"}};
  EXPECT_EQ(backend.requests, std::vector<Json>{copy});
}

struct Pipe {
  UniqueFd read;
  UniqueFd write;
  Pipe() {
    int ends[2];
    EXPECT_EQ(::pipe2(ends, O_CLOEXEC), 0);
    read.reset(ends[0]);
    write.reset(ends[1]);
  }
};

void send(const UniqueFd& fd, const std::string& bytes) {
  ASSERT_EQ(::write(fd.get(), bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

std::string readLine(const UniqueFd& fd) {
  std::string line;
  for (char c; ::read(fd.get(), &c, 1) == 1 && c != '\n';) {
    line.push_back(c);
  }
  return line;
}

TEST(McpStdio, PingsCancellationsAndProgressGoOnWhileACallWaits) {
  FakeBackend backend(true);
  Session session(backend, false);
  Pipe in, out;
  auto served = std::async(std::launch::async, [&] {
    return serveStdio(session, in.read.get(), out.write.get(), std::chrono::milliseconds(20));
  });

  Json slow = call("stat", {{"path", "/slow"}});
  slow["params"]["_meta"] = {{"progressToken", "p"}};
  send(in.write, slow.dump() + "\n");
  backend.started.get_future().wait();
  Json queued = call("stat", {{"path", "/queued"}});
  queued["id"] = "queued";
  send(in.write, queued.dump() + "\n");
  send(in.write,
       R"({"jsonrpc":"2.0","method":"notifications/cancelled","params":{"requestId":"queued"}})"
       "\r\n" +
           request(2, "ping").dump() + "\r\n");

  // Everything written, sorted: responses by id, and progress notifications.
  std::vector<Json> responses;
  int progress = 0;
  auto next = [&] {
    const Json line = Json::parse(readLine(out.read));
    if (line.value("method", "") == "notifications/progress") {
      EXPECT_EQ(line.at("params").at("progressToken"), "p");
      ++progress;
    } else {
      responses.push_back(line.at("id"));
    }
  };
  while (responses.empty() || progress == 0) {
    next();
  }
  EXPECT_EQ(responses, std::vector<Json>{2}) << "the ping does not wait for the call";

  backend.release.set_value();
  while (responses.size() < 2) {
    next();
  }
  EXPECT_EQ(responses.back(), 7);
  in.write.reset();  // end of input
  EXPECT_EQ(served.get(), 0);
  EXPECT_EQ(backend.requests.size(), 1u) << "the cancelled call never ran";
  out.write.reset();
  EXPECT_EQ(readLine(out.read), "") << "nothing else was written";
}

TEST(McpStdio, RefusesOversizedMessagesAndEndsWhenTheClientStopsReading) {
  FakeBackend backend;
  Session session(backend, false);
  Pipe in, out;
  auto served = std::async(std::launch::async,
                           [&] { return serveStdio(session, in.read.get(), out.write.get()); });
  // A ping padded to exactly the limit is served; one byte more is refused without being
  // kept, and the server reads on.
  Json padded = request(1, "ping", {{"_meta", {{"pad", ""}}}});
  const size_t base = padded.dump().size();
  padded["params"]["_meta"]["pad"] = std::string(kMessageLimit - base, 'x');
  ASSERT_EQ(padded.dump().size(), kMessageLimit);
  std::thread writer([&] {
    send(in.write, padded.dump() + "\n");
    padded["params"]["_meta"]["pad"] = std::string(kMessageLimit - base + 1, 'x');
    send(in.write, padded.dump() + "\n" + request(3, "ping").dump());  // last line: no newline
    in.write.reset();
  });
  EXPECT_EQ(Json::parse(readLine(out.read)).at("id"), 1);
  const Json refused = Json::parse(readLine(out.read));
  EXPECT_EQ(refused.at("error").at("code"), -32600);
  EXPECT_TRUE(refused.at("id").is_null());
  EXPECT_EQ(Json::parse(readLine(out.read)).at("id"), 3);
  writer.join();
  EXPECT_EQ(served.get(), 0);

  // A client that stops reading ends the server with status 1.
  Pipe again, gone;
  gone.read.reset();
  ::signal(SIGPIPE, SIG_IGN);
  send(again.write, request(1, "ping").dump() + "\n");
  again.write.reset();
  EXPECT_EQ(serveStdio(session, again.read.get(), gone.write.get()), 1);
}

}  // namespace
}  // namespace tamber::engine::mcp
