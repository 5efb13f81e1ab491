#include "desktop/engine_connection.h"

#include <glib.h>
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "desktop/fake_http_server.h"
#include "desktop/identity_probe.h"

namespace tamber::desktop {
namespace {

using testing::FakeHttpServer;
using testing::httpReply;

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
  std::vector<std::function<void()>> pending;

  void probe(std::function<void(bool)> done) override {
    const size_t index = probes++;
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
    EXPECT_EQ(delay, std::chrono::milliseconds(300));
    log.push_back("wait");
    pending.push_back(std::move(work));
  }
  // Runs scheduled work until nothing is left.
  void settle() {
    while (!pending.empty()) {
      auto work = std::move(pending.front());
      pending.erase(pending.begin());
      work();
    }
  }
  size_t count(const std::string& entry) const {
    return static_cast<size_t>(std::count(log.begin(), log.end(), entry));
  }

 private:
  size_t probes = 0;
};

TEST(EngineConnection, UsesAnEngineThatAlreadyAnswersWithoutStartingOne) {
  ScriptedHost host;
  host.verdicts = {true};
  EngineConnection(host).connect();
  host.settle();
  EXPECT_EQ(host.log, (std::vector<std::string>{"probe", "load"}));
}

TEST(EngineConnection, StartsItsEngineOnlyAfterTheFirstProbeAndLoadsThePageOnce) {
  ScriptedHost host;
  host.verdicts = {false, false, false, true};
  EngineConnection connection(host);
  connection.connect();
  host.settle();
  EXPECT_EQ(host.log, (std::vector<std::string>{"probe", "start", "wait", "probe", "wait", "probe",
                                                "wait", "probe", "load"}));
}

TEST(EngineConnection, GivesUpAfterAttemptThirtyWithoutOpeningAnythingElse) {
  ScriptedHost host;  // a wrong product at the port: every probe fails
  EngineConnection connection(host);
  connection.connect();
  host.settle();
  EXPECT_EQ(host.count("probe"), 31u);
  EXPECT_EQ(host.count("start"), 1u);
  EXPECT_EQ(host.count("load"), 0u);
  EXPECT_EQ(host.log.back(),
            "alert Engine unavailable: Could not connect to the bundled local engine. No "
            "browser or public server was opened.");
  EXPECT_EQ(host.log[1], "start");  // right after the very first probe
}

TEST(EngineConnection, AnEngineThatCannotStartEndsTheChainWithItsReason) {
  ScriptedHost host;
  host.engineFails = true;
  EngineConnection connection(host);
  connection.connect();
  host.settle();
  EXPECT_EQ(host.log,
            (std::vector<std::string>{"probe", "start",
                                      "alert Engine unavailable: No such file or directory"}));
}

// Runs the default main context until `done` or the deadline.
bool spinUntil(const bool& done, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done && std::chrono::steady_clock::now() < deadline) {
    g_main_context_iteration(nullptr, FALSE);
    g_usleep(1000);
  }
  return done;
}

std::optional<bool> probeOnce(IdentityProbe& probe, int port,
                              std::chrono::milliseconds limit = std::chrono::seconds(5)) {
  bool done = false;
  bool verdict = false;
  probe.probe(port, [&](bool identified) {
    verdict = identified;
    done = true;
  });
  if (!spinUntil(done, limit)) {
    return std::nullopt;
  }
  return verdict;
}

TEST(IdentityProbe, CountsAnErrorStatusWithOurProductAsTheEngine) {
  FakeHttpServer engine(
      [](const std::string&) { return httpReply(500, R"({"product":"Tamber"})"); });
  IdentityProbe probe;
  EXPECT_EQ(probeOnce(probe, engine.port()), true);
  EXPECT_EQ(engine.paths(), (std::vector<std::string>{"/api/invite"}));
}

TEST(IdentityProbe, RefusesOtherProductsRedirectsAndOversizedReplies) {
  FakeHttpServer other([](const std::string&) { return httpReply(200, R"({"product":"Other"})"); });
  FakeHttpServer page(
      [](const std::string&) { return httpReply(200, "<html>Tamber</html>", "text/html"); });
  FakeHttpServer target(
      [](const std::string&) { return httpReply(200, R"({"product":"Tamber"})"); });
  // A redirect is never followed, even to something that would pass.
  FakeHttpServer redirect([&](const std::string&) {
    return httpReply(
        302, "", "text/plain",
        "Location: http://127.0.0.1:" + std::to_string(target.port()) + "/api/invite\r\n");
  });
  FakeHttpServer huge([](const std::string&) {
    return httpReply(200, R"({"product":"Tamber","padding":")" + std::string(70000, 'x') + "\"}");
  });
  IdentityProbe probe;
  EXPECT_EQ(probeOnce(probe, other.port()), false);
  EXPECT_EQ(probeOnce(probe, page.port()), false);
  EXPECT_EQ(probeOnce(probe, redirect.port()), false);
  EXPECT_TRUE(target.paths().empty());
  EXPECT_EQ(probeOnce(probe, huge.port()), false);

  // Nothing listening at all.
  int closedPort = 0;
  {
    FakeHttpServer gone([](const std::string&) { return std::string(); });
    closedPort = gone.port();
  }
  EXPECT_EQ(probeOnce(probe, closedPort), false);
}

TEST(IdentityProbe, GivesUpOnAServerThatNeverAnswers) {
  FakeHttpServer silent([](const std::string&) { return std::string(); });
  IdentityProbe probe(std::chrono::milliseconds(300));
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(probeOnce(probe, silent.port()), false);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
}

TEST(IdentityProbe, ReportsNothingOnceItsOwnerIsGone) {
  FakeHttpServer silent([](const std::string&) { return std::string(); });
  bool called = false;
  {
    IdentityProbe probe(std::chrono::milliseconds(200));
    probe.probe(silent.port(), [&](bool) { called = true; });
  }
  bool never = false;
  spinUntil(never, std::chrono::milliseconds(500));
  EXPECT_FALSE(called);
}

}  // namespace
}  // namespace tamber::desktop
