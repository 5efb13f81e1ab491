#include "desktop/engine_connection.h"

#include <glib.h>
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "desktop/fake_http_server.h"
#include "desktop/identity_probe.h"
#include "support/waiting.h"

namespace tamber::desktop {
namespace {

using namespace std::chrono_literals;
using testing::FakeHttpServer;
using testing::httpReply;
using testing::waitFor;

// The chain's other ways (an engine that answers at once, one started that answers later,
// another product to the last attempt) are the window's own tests, against real servers.
class EngineThatCannotStart : public EngineConnection::Host {
 public:
  std::vector<std::string> log;

  void probe(std::function<void(bool)> done) override {
    log.push_back("probe");
    done(false);
  }
  void startEngine() override {
    log.push_back("start");
    throw std::runtime_error("No such file or directory");
  }
  void loadPage() override { log.push_back("load"); }
  void alert(const std::string& title, const std::string& text) override {
    log.push_back("alert " + title + ": " + text);
  }
  void after(std::chrono::milliseconds, std::function<void()>) override { log.push_back("wait"); }
};

TEST(EngineConnection, AnEngineThatCannotStartEndsTheChainWithItsReason) {
  EngineThatCannotStart host;
  EngineConnection(host).connect();
  EXPECT_EQ(host.log,
            (std::vector<std::string>{"probe", "start",
                                      "alert Engine unavailable: No such file or directory"}));
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

// Another product and a port where nothing listens are the window's own tests.
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
           {httpReply(200, R"({"product":["Tamber"]})"), false},
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
