// The real tamber executable on a virtual X display: its window, engine, bridge, dialogs and
// quit sequence, seen from outside as a person (and a session manager) would.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <dirent.h>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "desktop/fake_http_server.h"
#include "desktop/gui/gui_support.h"
#include "desktop/gui/x_session.h"
#include "platform/unique_fd.h"
#include "support/temp_dir.h"

namespace tamber::testing {
namespace {

using namespace std::chrono_literals;

bool exists(const std::string& path) {
  struct stat status {};
  return ::lstat(path.c_str(), &status) == 0;
}

// The engine server serving `dataDirectory`, if one does.
std::optional<int> engineServing(const std::string& dataDirectory) {
  const std::vector<int> engines = enginesServing(dataDirectory);
  return engines.empty() ? std::nullopt : std::optional<int>(engines.front());
}

bool processRunning(int pid) {
  const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
  const size_t close = stat.rfind(')');
  return !stat.empty() && close != std::string::npos && stat.substr(close + 2, 1) != "Z";
}

class DesktopWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!x_.usable()) {
      // CI runs these under xvfb-run; there a missing display is a failure, not a skip.
      if (std::getenv("TAMBER_REQUIRE_DISPLAY") != nullptr) {
        FAIL() << "no X display with the XTest extension (run under xvfb-run)";
      }
      GTEST_SKIP() << "no X display with the XTest extension (run under xvfb-run)";
    }
    if (!exists(kTamber)) {
      GTEST_SKIP() << "tamber is not built";
    }
  }

  // Waits up to `limit` for a window with one of `titles` and returns the title of the first
  // one seen, or "" when none showed up.
  std::string firstWindow(const std::vector<std::string>& titles, std::chrono::milliseconds limit) {
    std::string seen;
    waitFor(
        [&] {
          for (const auto& [id, name] : x_.windows()) {
            if (std::find(titles.begin(), titles.end(), name) != titles.end()) {
              seen = name;
            }
          }
          return !seen.empty();
        },
        limit);
    return seen;
  }

  XSession x_;
  TempDir temp_;
};

TEST_F(DesktopWindow, ShowsTheEnginePageAndQuitsCleanlyOnCtrlQ) {
  if (!exists(kEngine)) {
    GTEST_SKIP() << "larkspan is not built";
  }
  const std::string data = temp_ / "data";
  const std::string page = temp_ / "page.png";
  TamberRun tamber({{"HOME", temp_.mkdir("home")},
                    {"TAMBER_DATA", data},
                    {"TAMBER_PORT", std::to_string(freePort())},
                    {"TAMBER_PAGE_SNAPSHOT", page}});
  ASSERT_TRUE(tamber.running());
  ASSERT_TRUE(waitFor([&] { return exists(page); }, 60s)) << "the engine page never loaded";
  EXPECT_GT(std::filesystem::file_size(page), 10000u);
  EXPECT_TRUE(x_.screenshot(shotPath(temp_, "window.png")));

  const std::optional<int> engine = engineServing(data);
  ASSERT_TRUE(engine) << "no engine was started for " << data;
  // Whatever happens below, no engine outlives the test.
  struct Reaper {
    std::string data;
    int pid;
    ~Reaper() {
      if (engineServing(data) == pid) {
        ::kill(pid, SIGKILL);
      }
    }
  } reaper{data, *engine};
  EXPECT_TRUE(exists(data + "/agent.sock"));
  EXPECT_TRUE(exists(data + "/desktop-engine.log"));

  const std::optional<Window> window = x_.window("Tamber");
  ASSERT_TRUE(window);
  x_.pressKey(*window, XK_q, true);
  EXPECT_EQ(tamber.wait(15s), 0);
  EXPECT_FALSE(exists(data + "/agent.sock"));
  EXPECT_TRUE(exists(data + "/native.lock"));
  EXPECT_TRUE(waitFor([&] { return !processRunning(*engine); }, 10s))
      << "the engine tamber started is still running";
}

TEST_F(DesktopWindow, UsesAServerAnsweringItsProductWithAnErrorStatusAndItsMainFrameOnly) {
  const char* page = R"(<!doctype html><title>Tamber</title>
<iframe src="/sub"></iframe>
<script>
  const tamber = window.webkit.messageHandlers.tamber;
  tamber.postMessage('grantOrdinary');
  tamber.postMessage({ action: 7 });
  tamber.postMessage({ action: 'GrantOrdinary' });
  setTimeout(() => tamber.postMessage({ action: 'manageGrants' }), 2500);
</script>)";
  const char* subframe = R"(<!doctype html><script>
  try { window.webkit.messageHandlers.tamber.postMessage({ action: 'grantOrdinary' }); }
  catch (error) {}
  try { window.webkit.messageHandlers.tamber.postMessage({ action: 'invite' }); }
  catch (error) {}
</script>)";
  FakeHttpServer engine([&](const std::string& path) {
    if (path == "/api/invite") {
      return httpReply(500, R"({"product":"Tamber"})");
    }
    return httpReply(200, path == "/sub" ? subframe : page, "text/html");
  });
  const std::string data = temp_ / "data";
  TamberRun tamber({{"HOME", temp_.mkdir("home")},
                    {"TAMBER_DATA", data},
                    {"TAMBER_PORT", std::to_string(engine.port())}});
  ASSERT_TRUE(tamber.running());
  // Each message that must open nothing would have opened its dialog before this one.
  EXPECT_EQ(firstWindow({"Agent permissions", "Select folders for ordinary agent access",
                         "Invite an agent", "Invitation unavailable"},
                        60s),
            "Agent permissions");
  EXPECT_TRUE(x_.screenshot(shotPath(temp_, "manage-dialog.png")));
  // The server that answered was used as it is: no engine of our own.
  EXPECT_FALSE(exists(data + "/desktop-engine.log"));
  const std::vector<std::string> paths = engine.paths();
  EXPECT_EQ(paths.front(), "/api/invite");
  EXPECT_NE(std::find(paths.begin(), paths.end(), "/sub"), paths.end());

  // The session ending quits as closing the window does, open dialog and all.
  tamber.signal(SIGTERM);
  EXPECT_EQ(tamber.wait(15s), 0);
  EXPECT_FALSE(exists(data + "/agent.sock"));
}

TEST_F(DesktopWindow, StartsItsOwnEngineWhenTheServerAtThePortIsNotOursAndGivesUp) {
  if (!exists(kEngine)) {
    GTEST_SKIP() << "larkspan is not built";
  }
  FakeHttpServer other([](const std::string&) { return httpReply(200, R"({"product":"Other"})"); });
  const std::string data = temp_ / "data";
  TamberRun tamber({{"HOME", temp_.mkdir("home")},
                    {"TAMBER_DATA", data},
                    {"TAMBER_PORT", std::to_string(other.port())}});
  ASSERT_TRUE(tamber.running());
  // 31 probes 0.3 s apart, and then the one message.
  EXPECT_EQ(firstWindow({"Engine unavailable"}, 60s), "Engine unavailable");
  EXPECT_TRUE(x_.screenshot(shotPath(temp_, "engine-unavailable.png")));
  EXPECT_TRUE(exists(data + "/desktop-engine.log"));  // our engine was started (and failed)
  const std::vector<std::string> paths = other.paths();
  EXPECT_EQ(paths.size(), 31u);
  EXPECT_EQ(std::count(paths.begin(), paths.end(), "/api/invite"), 31);
  tamber.signal(SIGINT);
  EXPECT_EQ(tamber.wait(15s), 0);
}

TEST_F(DesktopWindow, SecondCopyStopsAtTheLockAndLeavesTheFirstCopysSocket) {
  const std::string data = temp_.mkdir("data");
  UniqueFd lock(::open((data + "/native.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  ASSERT_EQ(::flock(lock.get(), LOCK_EX | LOCK_NB), 0);
  temp_.write("data/agent.sock", "the first copy's");
  TamberRun tamber({{"HOME", temp_.mkdir("home")},
                    {"TAMBER_DATA", data},
                    {"TAMBER_PORT", std::to_string(freePort())}});
  ASSERT_TRUE(tamber.running());
  EXPECT_EQ(firstWindow({"Tamber could not start"}, 60s), "Tamber could not start");
  EXPECT_TRUE(x_.screenshot(shotPath(temp_, "already-running.png")));
  tamber.signal(SIGTERM);
  EXPECT_EQ(tamber.wait(15s), 1);
  EXPECT_EQ(readFile(data + "/agent.sock"), "the first copy's");
}

}  // namespace
}  // namespace tamber::testing
