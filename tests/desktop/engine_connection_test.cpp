#include "desktop/engine_connection.h"

#include <glib.h>
#include <gtest/gtest.h>

#include <deque>
#include <stdexcept>
#include <string>
#include <vector>

#include "desktop/fake_http_server.h"
#include "desktop/identity_probe.h"
#include "support/network.h"
#include "support/waiting.h"

namespace tamber::desktop {
namespace {

using namespace std::chrono_literals;
using testing::FakeHttpServer;
using testing::httpReply;
using testing::waitFor;

TEST(EngineIdentity, IsJudgedOnTheBodyAlone) {
  EXPECT_TRUE(isEngineIdentity(R"({"product":"Tamber","text":"x"})"));
  EXPECT_TRUE(isEngineIdentity(R"({"product":"Tamber"})"));
  for (const char* other :
       {R"({"product":"tamber"})", R"({"product":"Larkspan"})", R"({"product":["Tamber"]})",
        R"({"name":"Tamber"})", R"(["Tamber"])", R"("Tamber")", "<html>Tamber</html>", ""}) {
    EXPECT_FALSE(isEngineIdentity(std::string_view(other))) << other;
  }
  EXPECT_FALSE(isEngineIdentity(std::nullopt));
}

// Plays the desktop's part: probes answer from a script, and every call is logged in order.
class ScriptedHost : public EngineConnection::Host {
 public:
  std::vector<bool> verdicts;  // verdict of probe i; false beyond the end
  bool engineFails = false;
  std::vector<std::string> log;

  void probe(std::function<void(bool)> done) override {
    const size_t index = probes_++;
    log.push_back("probe");
    done(index < verdicts.size() && verdicts[index]);
  }
  void startEngine() override {
    log.push_back("start");
    if (engineFails) {
      throw std::runtime_error("No such file or directory");
    }
  }
  void loadPage() override { log.push_back("load"); }
  void alert(const std::string& title, const std::string& text) override {
    log.push_back("alert " + title + ": " + text);
  }
  void after(std::chrono::milliseconds delay, std::function<void()> work) override {
    EXPECT_EQ(delay, 300ms);
    log.push_back("wait");
    pending_.push_back(std::move(work));
  }

  // Connects, then runs scheduled work until nothing is left.
  std::vector<std::string> connect() {
    EngineConnection connection(*this);
    connection.connect();
    while (!pending_.empty()) {
      auto work = std::move(pending_.front());
      pending_.pop_front();
      work();
    }
    return log;
  }

 private:
  size_t probes_ = 0;
  std::deque<std::function<void()>> pending_;
};

TEST(EngineConnection, StartsItsEngineOnlyAfterTheFirstProbeAndLoadsThePageOnce) {
  ScriptedHost answering;  // an engine that already answers is used as it is
  answering.verdicts = {true};
  EXPECT_EQ(answering.connect(), (std::vector<std::string>{"probe", "load"}));

  ScriptedHost starting;
  starting.verdicts = {false, false, false, true};
  EXPECT_EQ(starting.connect(), (std::vector<std::string>{"probe", "start", "wait", "probe", "wait",
                                                          "probe", "wait", "probe", "load"}));

  ScriptedHost failing;  // an engine that cannot start ends the chain with its reason
  failing.engineFails = true;
  EXPECT_EQ(failing.connect(),
            (std::vector<std::string>{"probe", "start",
                                      "alert Engine unavailable: No such file or directory"}));
}

TEST(EngineConnection, GivesUpAfterAttemptThirtyWithoutOpeningAnythingElse) {
  ScriptedHost host;  // a wrong product at the port: every probe fails
  std::vector<std::string> expected{"probe", "start"};
  for (int attempt = 1; attempt <= 30; ++attempt) {
    expected.insert(expected.end(), {"wait", "probe"});
  }
  expected.push_back(
      "alert Engine unavailable: Could not connect to the bundled local engine. No browser or "
      "public server was opened.");
  EXPECT_EQ(host.connect(), expected);
}

// Runs the default main context until `probe` has given its verdict on `port`, for at most
// five seconds.
std::optional<bool> probeOnce(IdentityProbe& probe, int port) {
  std::optional<bool> verdict;
  probe.probe(port, [&](bool identified) { verdict = identified; });
  waitFor(
      [&] {
        g_main_context_iteration(nullptr, FALSE);
        return verdict.has_value();
      },
      5s);
  return verdict;
}

TEST(IdentityProbe, CountsOurProductWhateverTheStatusAndRefusesEverythingElse) {
  // A redirect is never followed, even to something that would pass.
  FakeHttpServer target(
      [](const std::string&) { return httpReply(200, R"({"product":"Tamber"})"); });
  const std::string redirect =
      httpReply(302, "", "text/plain",
                "Location: http://127.0.0.1:" + std::to_string(target.port()) + "/api/invite\r\n");
  IdentityProbe probe;
  for (const auto& [reply, verdict] : std::vector<std::pair<std::string, bool>>{
           {httpReply(500, R"({"product":"Tamber"})"), true},
           {httpReply(200, R"({"product":"Other"})"), false},
           {httpReply(200, "<html>Tamber</html>", "text/html"), false},
           {redirect, false},
           {httpReply(200, R"({"product":"Tamber","padding":")" + std::string(70000, 'x') + "\"}"),
            false},
       }) {
    FakeHttpServer server([&](const std::string&) { return reply; });
    EXPECT_EQ(probeOnce(probe, server.port()), verdict) << reply.substr(0, 40);
    EXPECT_EQ(server.paths(), (std::vector<std::string>{"/api/invite"}));
  }
  EXPECT_TRUE(target.paths().empty());

  EXPECT_EQ(probeOnce(probe, testing::freePort()), false);  // nothing listening at all
}

TEST(IdentityProbe, GivesUpOnASilentServerAndReportsNothingOnceItsOwnerIsGone) {
  FakeHttpServer silent([](const std::string&) { return std::string(); });
  {
    IdentityProbe probe(300ms);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(probeOnce(probe, silent.port()), false);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 2s);
  }
  bool called = false;
  {
    IdentityProbe probe(200ms);
    probe.probe(silent.port(), [&](bool) { called = true; });
  }
  EXPECT_FALSE(waitFor(
      [&] {
        g_main_context_iteration(nullptr, FALSE);
        return called;
      },
      500ms));
}

}  // namespace
}  // namespace tamber::desktop
