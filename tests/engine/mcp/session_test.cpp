#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <future>
#include <mutex>
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

// Answers every broker request with {"ok": true} and `extra`, and remembers what it was
// asked. With `gated` the first request waits until the test lets it go, or abandons it.
class FakeBackend : public ToolBackend {
 public:
  explicit FakeBackend(bool gated = false) : gated_(gated) {}
  std::vector<Json> requests;
  Json extra = Json::object();
  std::promise<void> started;
  std::atomic<bool> abandoned = false;

  // Lets the gated request go on.
  void letGo() {
    std::call_once(released_, [&] { release_.set_value(); });
  }

  Json broker(const Json& request) override {
    requests.push_back(request);
    if (gated_ && requests.size() == 1) {
      started.set_value();
      release_.get_future().wait();
    }
    Json reply = extra;
    reply["ok"] = true;
    return reply;
  }
  Json inventory(const Json&) override { return {{"ok", true}}; }
  void abandon() override {
    abandoned = true;
    letGo();
  }

 private:
  const bool gated_;
  std::promise<void> release_;
  std::once_flag released_;
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

// A request's "_meta" naming its revision; capabilities and client info left out when null.
Json meta(Json version, Json capabilities = Json::object(), Json info = nullptr) {
  Json meta = {{"io.modelcontextprotocol/protocolVersion", std::move(version)}};
  for (auto& [key, value] : {std::pair{"clientCapabilities", capabilities}, {"clientInfo", info}}) {
    if (!value.is_null()) {
      meta[std::string("io.modelcontextprotocol/") + key] = value;
    }
  }
  return meta;
}

Json modern(const Json& id, const std::string& method, Json params = Json::object(),
            const Json& requestMeta = meta("2026-07-28")) {
  params["_meta"] = requestMeta;
  return request(id, method, params);
}

TEST(McpSession, NegotiatesTheRevisionAndShowsToolsAsThatRevisionKnowsThem) {
  struct Case {
    const char* asked;
    const char* agreed;  // "" for a request that carries its revision itself
    bool annotations;    // 2025-03-26 on
    bool structured;     // titles, output schemas and structured results: 2025-06-18 on
  };
  const Case cases[] = {
      {"2025-11-25", "2025-11-25", true, true},
      {"2025-06-18", "2025-06-18", true, true},
      {"2025-03-26", "2025-03-26", true, false},
      {"2024-11-05", "2024-11-05", false, false},
      {"2024-10-07", "2025-11-25", true, true},
      {"2026-07-28", "2025-11-25", true, true},
      {"2026-07-28", "", true, true},
  };
  for (const Case& c : cases) {
    FakeBackend backend;
    Session session(backend, false);
    const bool byRequest = *c.agreed == '\0';
    if (!byRequest) {
      EXPECT_EQ(answerTo(session, initialize(c.asked)).at("result").at("protocolVersion"),
                c.agreed);
    }
    const auto ask = [&](const std::string& method, const Json& params) {
      return answerTo(session, byRequest ? modern(1, method, params) : request(1, method, params))
          .at("result");
    };
    const Json listed = ask("tools/list", Json::object());
    ASSERT_EQ(listed.at("tools").size(), 11u);
    for (const Json& tool : listed.at("tools")) {
      EXPECT_EQ(tool.contains("annotations"), c.annotations) << c.asked;
      EXPECT_EQ(tool.contains("outputSchema"), c.structured) << c.asked;
      EXPECT_EQ(tool.contains("title"), c.structured) << c.asked;
    }
    const Json result = ask("tools/call", {{"name", "stat"}, {"arguments", {{"path", "/x"}}}});
    EXPECT_EQ(result.contains("structuredContent"), c.structured) << c.asked;
    // Results of a request that carried its revision say what they are and who made them.
    for (const Json& each : {listed, result}) {
      EXPECT_EQ(each.value("resultType", ""), byRequest ? "complete" : "") << c.asked;
      EXPECT_EQ(each.contains("_meta"), byRequest) << c.asked;
    }
    EXPECT_EQ(listed.contains("ttlMs") && listed.contains("cacheScope"), byRequest);
  }
}

TEST(McpSession, ServesEveryRequestThatCarriesItsRevisionOnItsOwn) {
  FakeBackend backend;
  Session session(backend, false);
  const Json discovered = answerTo(session, modern("d", "server/discover")).at("result");
  EXPECT_EQ(discovered.at("supportedVersions"),
            Json({"2026-07-28", "2025-11-25", "2025-06-18", "2025-03-26", "2024-11-05"}));
  EXPECT_EQ(discovered.at("capabilities"), Json({{"tools", {{"listChanged", false}}}}));
  EXPECT_EQ(discovered.at("_meta").at("io.modelcontextprotocol/serverInfo").at("name"), "tamber");
  EXPECT_EQ(discovered.at("resultType"), "complete");
  EXPECT_TRUE(discovered.at("instructions").is_string());
  EXPECT_EQ(discovered.at("ttlMs"), 0);

  struct Case {
    const char* what;
    Json message;
    int code;
  };
  const Case cases[] = {
      {"no _meta before an initialize", request(1, "tools/list"), -32602},
      {"no _meta, server/discover", request(1, "server/discover"), -32602},
      {"no capabilities", modern(1, "tools/list", {}, meta("2026-07-28", nullptr)), -32602},
      {"a revision that is no string", modern(1, "tools/list", {}, meta(20260728)), -32602},
      {"client info that is no object",
       modern(1, "tools/list", {}, meta("2026-07-28", Json::object(), "me")), -32602},
      {"a removed method", modern(1, "ping"), -32601},
      {"another removed method", modern(1, "logging/setLevel"), -32601},
      {"an unknown method", modern(1, "resources/list"), -32601},
      // A revision not served request by request is named back with those that are.
      {"an unknown revision", modern(1, "tools/list", {}, meta("1900-01-01")), -32022},
      {"a revision of initialize", modern(1, "tools/list", {}, meta("2025-11-25")), -32022},
  };
  for (const Case& c : cases) {
    const Json error = answerTo(session, c.message).at("error");
    EXPECT_EQ(error.at("code"), c.code) << c.what;
    if (c.code == -32022) {
      EXPECT_EQ(error.at("data"),
                Json({{"supported", discovered.at("supportedVersions")},
                      {"requested", c.message.at("params").at("_meta").at(
                                        "io.modelcontextprotocol/protocolVersion")}}));
    }
  }
  EXPECT_TRUE(backend.requests.empty());

  // The session goes on: an initialize still chooses a revision before 2026-07-28 for the
  // process, and requests that carry their own revision are still served as it says.
  EXPECT_EQ(answerTo(session, initialize("2025-06-18")).at("result").at("protocolVersion"),
            "2025-06-18");
  EXPECT_EQ(session.legacyRevision(), Revision::v2025_06_18);
  EXPECT_FALSE(answerTo(session, request(2, "tools/list")).at("result").contains("resultType"));
  EXPECT_TRUE(answerTo(session, request(3, "ping")).at("result").empty());
  EXPECT_EQ(answerTo(session, modern(4, "tools/list")).at("result").at("resultType"), "complete");
}

TEST(McpSession, AnswersBadMessagesWithTheirErrorsIgnoresNotificationsAndBoundsBatches) {
  FakeBackend backend;
  Session session(backend, false);
  answerTo(session, initialize("2025-11-25"));
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
      {"a line number of 0", call("read", {{"path", "/x"}, {"start_line", 0}}).dump(), kToolError},
      {"no edits", call("edit", {{"path", "/x"}, {"edits", Json::array()}}).dump(), kToolError},
      {"an edit without new_text",
       call("edit", {{"path", "/x"}, {"edits", {{{"old_text", "a"}}}}}).dump(), kToolError},
      {"a find too deep",
       call("find", {{"path", "/x"}, {"pattern", "*"}, {"max_depth", 65}}).dump(), kToolError},
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
  Session batches(backend, false);
  answerTo(batches, initialize("2025-03-26"));
  const Json batch = {request(1, "ping"),
                      call("copy", {{"path", "/a"}, {"destination", "/b"}}),
                      {{"jsonrpc", "2.0"}, {"method", "notifications/initialized"}}};
  const Json responses = answerTo(batches, batch);
  ASSERT_TRUE(responses.is_array());
  ASSERT_EQ(responses.size(), 2u);
  EXPECT_EQ(responses[0].at("id"), 1);
  EXPECT_EQ(responses[1].at("id"), 7);
  EXPECT_EQ(answerTo(batches, Json::array()).at("error").at("code"), -32600);
  // The call reached the broker with its arguments as they were.
  const Json copy = {{"path", "/a"}, {"destination", "/b"}, {"action", "copy"}};
  EXPECT_EQ(backend.requests, std::vector<Json>{copy});

  // A batch of more than 32 is refused whole; a reply that grows past 4 MiB makes no more
  // calls, so that memory stays bounded whatever a client sends.
  backend.requests.clear();
  Json many = Json::array();
  for (int i = 0; i < 33; ++i) {
    many.push_back(call("stat", {{"path", "/x"}}));
  }
  EXPECT_EQ(answerTo(batches, many).at("error").at("code"), -32600);
  EXPECT_TRUE(backend.requests.empty());
  many.erase(many.begin());
  backend.extra = {{"pad", std::string(300 * 1024, 'p')}};
  const std::string reply = *batches.handle(many.dump());
  EXPECT_LT(reply.size(), kBatchReplyLimit + 2 * 300 * 1024);
  EXPECT_LT(backend.requests.size(), 32u);
  EXPECT_EQ(Json::parse(reply).back().at("error").at("code"), -32603);
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
  answerTo(session, initialize("2025-11-25"));
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

  backend.letGo();
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

TEST(McpStdio, CallsEndWithTheirClientAndAtMost64Wait) {
  ::signal(SIGPIPE, SIG_IGN);
  for (const bool inputEnds : {true, false}) {
    FakeBackend backend(true);
    Session session(backend, false);
    answerTo(session, initialize("2025-11-25"));
    Pipe in, out;
    auto served = std::async(std::launch::async,
                             [&] { return serveStdio(session, in.read.get(), out.write.get()); });
    send(in.write, call("copy", {{"path", "/big"}, {"destination", "/c"}}).dump() + "\n");
    backend.started.get_future().wait();
    std::string waiting;
    for (int id = 100; id < 170; ++id) {
      Json queued = call("copy", {{"path", "/big"}, {"destination", "/c" + std::to_string(id)}});
      queued["id"] = id;
      waiting += queued.dump() + "\n";
    }
    send(in.write, waiting);
    for (int id = 164; id < 170; ++id) {
      const Json busy = Json::parse(readLine(out.read));
      EXPECT_EQ(busy.at("id"), id);
      EXPECT_EQ(busy.at("error").at("code"), -32603);
    }

    // The client goes: its input ends, or it stops reading. The call under way is abandoned
    // at once, none of those waiting is made, and nothing more is said.
    if (inputEnds) {
      in.write.reset();
    } else {
      out.read.reset();
    }
    ASSERT_EQ(served.wait_for(std::chrono::seconds(2)), std::future_status::ready);
    EXPECT_EQ(served.get(), inputEnds ? 0 : 1);
    EXPECT_TRUE(backend.abandoned);
    EXPECT_EQ(backend.requests.size(), 1u);
    if (inputEnds) {
      out.write.reset();
      EXPECT_EQ(readLine(out.read), "");
    }
  }
}

}  // namespace
}  // namespace tamber::engine::mcp
