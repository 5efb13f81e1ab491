// The desktop's side of the engine: the identity probe and the chain that connects the window
// to the engine, the engine's invite run and the server it starts, and the hop from the
// broker's thread to the UI thread.
#include <glib.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "desktop/engine_connection.h"
#include "desktop/engine_process.h"
#include "desktop/fake_http_server.h"
#include "desktop/identity_probe.h"
#include "desktop/invitation.h"
#include "desktop/main_thread_hop.h"
#include "support/temp_dir.h"
#include "support/waiting.h"

namespace tamber::desktop {
namespace {

using namespace std::chrono_literals;
using testing::failureOf;
using testing::FakeHttpServer;
using testing::httpReply;
using testing::readFile;
using testing::TempDir;
using testing::waitFor;

// Iterates the default main context until `condition` holds (true) or `limit` passes.
bool iterateUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
  return waitFor(
      [&] {
        g_main_context_iteration(nullptr, FALSE);
        return condition();
      },
      limit);
}

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

// The verdict of `probe` on `port`, given within five seconds.
std::optional<bool> probeOnce(IdentityProbe& probe, int port) {
  std::optional<bool> verdict;
  probe.probe(port, [&](bool identified) { verdict = identified; });
  iterateUntil([&] { return verdict.has_value(); }, 5s);
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
  EXPECT_FALSE(iterateUntil([&] { return called; }, 500ms));
}

// An executable shell script standing in for the engine.
std::string fakeEngine(const TempDir& temp, const std::string& body) {
  const std::string path = temp.write("larkspan", "#!/bin/sh\n" + body + "\n");
  ::chmod(path.c_str(), 0755);
  return path;
}

bool processGone(int pid) {
  // Gone, or a zombie nobody reaped: either way it runs no more.
  const std::string status = readFile("/proc/" + std::to_string(pid) + "/stat");
  const size_t close = status.rfind(')');
  return status.empty() || (close != std::string::npos && status.substr(close + 2, 1) == "Z");
}

TEST(EngineInviteRun, ReturnsStandardOutputOnlyAndStopsAnEngineThatDoesNotFinish) {
  TempDir temp;
  EXPECT_EQ(runEngineInvite(
                fakeEngine(temp, "echo noise >&2\nprintf '{\"text\":\"%s|\"}' \"$*\"\nexit 3"),
                "/data dir"),
            "{\"text\":\"--data /data dir invite --json|\"}");
  // An engine that cannot start reports the system's reason.
  EXPECT_EQ(failureOf([&] { runEngineInvite(temp / "missing", temp.path()); }),
            "No such file or directory");

  // The shell's child keeps the output pipe open after the shell itself is killed.
  const std::string engine =
      fakeEngine(temp, "echo $$ > '" + (temp / "pid") + "'\nprintf '{\"text\":'\nsleep 3");
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(failureOf([&] { runEngineInvite(engine, temp.path(), 300ms); }),
            "The local engine did not produce an invitation within 10 seconds.");
  EXPECT_LT(std::chrono::steady_clock::now() - started, 2s);
  EXPECT_TRUE(waitFor([&] { return processGone(std::stoi(readFile(temp / "pid"))); }, 2s));
}

// Starting the engine with its log and asking it to end at quit are the window's own tests.
TEST(EngineProcess, ReportsWhyItCannotStartAndNeverWritesItsLogThroughALink) {
  TempDir temp;
  EngineProcess server;
  EXPECT_EQ(failureOf([&] { server.start(temp / "missing", {}, temp / "log"); }),
            "No such file or directory");
  ASSERT_EQ(::symlink((temp / "elsewhere").c_str(), (temp / "linked.log").c_str()), 0);
  EXPECT_EQ(failureOf([&] { server.start(fakeEngine(temp, "exit 0"), {}, temp / "linked.log"); }),
            "Too many levels of symbolic links");
  EXPECT_FALSE(std::filesystem::exists(temp / "elsewhere"));
  EXPECT_FALSE(server.started());
}

TEST(MainThreadHop, RunsTheWorkOnTheMainContextsThreadUntilShutDownReleasesTheCaller) {
  MainThreadHop hop;
  std::thread::id ranOn;
  std::atomic<bool> returned{false};
  std::thread broker([&] {
    hop.run([&] { ranOn = std::this_thread::get_id(); });
    returned = true;
  });
  EXPECT_TRUE(iterateUntil([&] { return returned.load(); }, 2s));
  broker.join();
  EXPECT_EQ(ranOn, std::this_thread::get_id());

  // The main loop has ended: nobody will run the work, and shutting down releases the caller.
  bool ran = false;
  returned = false;
  std::thread waiting([&] {
    hop.run([&] { ran = true; });
    returned = true;
  });
  std::this_thread::sleep_for(100ms);
  EXPECT_FALSE(returned);
  hop.shutDown();
  waiting.join();
  EXPECT_TRUE(returned);
  // The queued callback finds the call abandoned and leaves it alone.
  while (g_main_context_iteration(nullptr, FALSE)) {
  }
  EXPECT_FALSE(ran);
  hop.run([&] { ran = true; });  // refused at once
  EXPECT_FALSE(ran);
}

}  // namespace
}  // namespace tamber::desktop
