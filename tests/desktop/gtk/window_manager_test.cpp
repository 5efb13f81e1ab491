// The real tamber under a real window manager (openbox) on a virtual X display: the ways
// people quit it (the title bar's close button, a panel's close request, the menu, Ctrl+Q) all
// run the quit sequence, and the About item shows its message.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "desktop/fake_http_server.h"
#include "desktop/gtk/gui_support.h"
#include "desktop/gtk/x_session.h"
#include "platform/unique_fd.h"
#include "support/temp_dir.h"

namespace tamber::testing {
namespace {

using namespace std::chrono_literals;

constexpr const char* kOpenbox = "/usr/bin/openbox";

bool exists(const std::string& path) {
  struct stat status {};
  return ::lstat(path.c_str(), &status) == 0;
}

bool processRunning(int pid) {
  const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
  const size_t close = stat.rfind(')');
  return !stat.empty() && close != std::string::npos && stat.substr(close + 2, 1) != "Z";
}

// True when no one holds the catalog lock of `data` any more.
bool lockReleased(const std::string& data) {
  UniqueFd lock(::open((data + "/native.lock").c_str(), O_RDWR | O_CLOEXEC));
  return lock.valid() && ::flock(lock.get(), LOCK_EX | LOCK_NB) == 0;
}

// The page a fake engine serves: enough for Tamber to show its window and stay up.
std::string fakeEngine(const std::string& path) {
  if (path == "/api/invite") {
    return httpReply(200, R"({"product":"Tamber"})");
  }
  return httpReply(200, "<!doctype html><title>Engine</title><p>engine page</p>", "text/html");
}

// openbox on the test's display, from the first test to the last; stopped by its id, and in any
// case gone with the display that xvfb-run closes after the test binary.
class WindowManager {
 public:
  WindowManager() {
    std::string program = kOpenbox;
    std::string option = "--sm-disable";
    char* argv[] = {program.data(), option.data(), nullptr};
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    // It complains about a missing menu file, which does not matter here.
    ::posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    ::posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    if (::posix_spawn(&pid_, kOpenbox, &actions, nullptr, argv, environ) != 0) {
      pid_ = -1;
    }
    ::posix_spawn_file_actions_destroy(&actions);
  }
  ~WindowManager() {
    if (pid_ <= 0) {
      return;
    }
    ::kill(pid_, SIGTERM);
    if (!waitFor([&] { return ::waitpid(pid_, nullptr, WNOHANG) == pid_; }, 5s)) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  WindowManager(const WindowManager&) = delete;
  WindowManager& operator=(const WindowManager&) = delete;

  bool started() const { return pid_ > 0; }

 private:
  pid_t pid_ = -1;
};

class UnderWindowManager : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    XSession x;
    if (!x.usable()) {
      unavailable = "no X display with the XTest extension (run under xvfb-run)";
      requiredBy = "TAMBER_REQUIRE_DISPLAY";
      return;
    }
    requiredBy = "TAMBER_REQUIRE_REAL_PARTS";
    if (::access(kOpenbox, X_OK) != 0) {
      unavailable = "openbox is missing (scripts/install-deps.sh test installs it)";
      return;
    }
    manager = new WindowManager();
    if (!manager->started() || !waitFor([&] { return x.windowManager() == "Openbox"; }, 10s)) {
      unavailable = "openbox did not start managing the display";
    }
  }
  static void TearDownTestSuite() {
    delete manager;
    manager = nullptr;
  }

  void SetUp() override {
    if (!unavailable.empty()) {
      // CI provides the display and the window manager; there their absence is a failure.
      if (std::getenv(requiredBy) != nullptr) {
        FAIL() << unavailable;
      }
      GTEST_SKIP() << unavailable;
    }
  }

  // The Tamber windows on screen, once there are `count` of them within `limit`.
  std::vector<Window> tamberWindows(size_t count, std::chrono::milliseconds limit) {
    std::vector<Window> found;
    waitFor(
        [&] {
          found.clear();
          for (const auto& [id, name] : x_.windows()) {
            if (name == "Tamber") {
              found.push_back(id);
            }
          }
          return found.size() == count;
        },
        limit);
    return found;
  }

  // Opens the window's menu from the keyboard (F10) and chooses its item `downs` steps down,
  // not counting the separator.
  void chooseMenuItem(Window window, int downs) {
    x_.pressKey(window, XK_F10, false);
    std::this_thread::sleep_for(500ms);
    for (int i = 0; i < downs; ++i) {
      x_.pressKey(window, XK_Down, false);
    }
    x_.pressKey(window, XK_Return, false);
  }

  static inline WindowManager* manager = nullptr;
  static inline std::string unavailable;
  static inline const char* requiredBy = "";  // the variable that makes `unavailable` a failure
  XSession x_;
  TempDir temp_;
};

TEST_F(UnderWindowManager, TheCloseButtonRunsTheQuitSequence) {
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
  const std::vector<int> engines = enginesServing(data);
  ASSERT_EQ(engines.size(), 1u) << "no engine was started for " << data;
  const int engine = engines.front();
  // Whatever happens below, no engine outlives the test.
  struct Reaper {
    std::string data;
    ~Reaper() {
      for (int pid : enginesServing(data)) {
        ::kill(pid, SIGKILL);
      }
    }
  } reaper{data};
  EXPECT_FALSE(lockReleased(data));

  const std::vector<Window> windows = tamberWindows(1, 10s);
  ASSERT_EQ(windows.size(), 1u);
  const XSession::Area client = x_.area(windows.front());
  // The close button: the rightmost of the square buttons in the title bar above the window.
  std::optional<XSession::Area> close;
  for (const XSession::Area& part : x_.decorations(windows.front())) {
    const bool titleBar = part.y + part.height <= client.y;
    const bool button =
        part.width >= 8 && part.width <= 40 && std::abs(part.width - part.height) <= 4;
    if (titleBar && button && (!close || part.x > close->x)) {
      close = part;
    }
  }
  ASSERT_TRUE(close) << "openbox drew no buttons above the window";
  EXPECT_TRUE(x_.screenshot(shotPath(temp_, "framed-window.png")));
  x_.click(close->x + close->width / 2, close->y + close->height / 2);

  EXPECT_EQ(tamber.wait(15s), 0);
  // The quit sequence, step by step: grants revoked first (DesktopSession's own tests show
  // it), then the engine Tamber started is asked to end, the socket goes and the lock is free.
  EXPECT_TRUE(waitFor([&] { return !processRunning(engine); }, 10s))
      << "the engine tamber started is still running";
  EXPECT_FALSE(exists(data + "/agent.sock"));
  EXPECT_TRUE(lockReleased(data));
}

TEST_F(UnderWindowManager, AboutShowsItsMessageAndQuitQuits) {
  FakeHttpServer engine(fakeEngine);
  const std::string data = temp_ / "data";
  TamberRun tamber({{"HOME", temp_.mkdir("home")},
                    {"TAMBER_DATA", data},
                    {"TAMBER_PORT", std::to_string(engine.port())}});
  ASSERT_TRUE(tamber.running());
  const std::vector<Window> windows = tamberWindows(1, 60s);
  ASSERT_EQ(windows.size(), 1u);
  ASSERT_TRUE(waitFor([&] { return exists(data + "/agent.sock"); }, 10s));

  // About: a second window titled "Tamber", the message box; OK closes it and Tamber stays.
  chooseMenuItem(windows.front(), 1);
  const std::vector<Window> withAbout = tamberWindows(2, 10s);
  ASSERT_EQ(withAbout.size(), 2u) << "About showed no message";
  EXPECT_TRUE(x_.screenshot(shotPath(temp_, "about.png")));
  const Window about = withAbout.front() == windows.front() ? withAbout.back() : withAbout.front();
  x_.pressKey(about, XK_Return, false);
  EXPECT_EQ(tamberWindows(1, 10s).size(), 1u) << "the message did not close";
  EXPECT_TRUE(tamber.running());

  // Quit, past the separator.
  chooseMenuItem(windows.front(), 2);
  EXPECT_EQ(tamber.wait(15s), 0);
  EXPECT_FALSE(exists(data + "/agent.sock"));
  EXPECT_TRUE(lockReleased(data));
}

TEST_F(UnderWindowManager, CtrlQAndAPanelsCloseRequestQuitCleanly) {
  FakeHttpServer engine(fakeEngine);
  for (const bool fromPanel : {false, true}) {
    SCOPED_TRACE(fromPanel ? "close request" : "Ctrl+Q");
    const std::string data = temp_ / (fromPanel ? "panel" : "keys");
    TamberRun tamber({{"HOME", temp_.mkdir("home")},
                      {"TAMBER_DATA", data},
                      {"TAMBER_PORT", std::to_string(engine.port())}});
    ASSERT_TRUE(tamber.running());
    const std::vector<Window> windows = tamberWindows(1, 60s);
    ASSERT_EQ(windows.size(), 1u);
    ASSERT_TRUE(waitFor([&] { return exists(data + "/agent.sock"); }, 10s));
    if (fromPanel) {
      x_.requestClose(windows.front());
    } else {
      x_.pressKey(windows.front(), XK_q, true);
    }
    EXPECT_EQ(tamber.wait(15s), 0);
    EXPECT_FALSE(exists(data + "/agent.sock"));
    EXPECT_TRUE(lockReleased(data));
  }
}

}  // namespace
}  // namespace tamber::testing
