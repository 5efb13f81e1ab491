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

#include <cairo.h>

#include "desktop/fake_http_server.h"
#include "desktop/gtk/gui_support.h"
#include "desktop/gtk/x_session.h"
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

// Pixels of `png` with exactly the colour `rgb` (0xRRGGBB); -1 when it cannot be read.
long pixelsOfColour(const std::string& png, uint32_t rgb) {
  cairo_surface_t* image = cairo_image_surface_create_from_png(png.c_str());
  long found = -1;
  if (cairo_surface_status(image) == CAIRO_STATUS_SUCCESS &&
      cairo_image_surface_get_format(image) != CAIRO_FORMAT_INVALID) {
    found = 0;
    const unsigned char* data = cairo_image_surface_get_data(image);
    const int stride = cairo_image_surface_get_stride(image);
    for (int y = 0; y < cairo_image_surface_get_height(image); ++y) {
      const auto* row = reinterpret_cast<const uint32_t*>(data + y * stride);
      for (int x = 0; x < cairo_image_surface_get_width(image); ++x) {
        found += (row[x] & 0xffffff) == rgb ? 1 : 0;
      }
    }
  }
  cairo_surface_destroy(image);
  return found;
}

// Clicks the first mouse button at `x`, `y` inside `window`, wherever a window manager put it.
void clickInside(Window window, int x, int y) {
  Display* display = XOpenDisplay(nullptr);
  ASSERT_NE(display, nullptr);
  int rootX = 0, rootY = 0;
  Window child = 0;
  XTranslateCoordinates(display, window, DefaultRootWindow(display), x, y, &rootX, &rootY, &child);
  XTestFakeMotionEvent(display, -1, rootX, rootY, 0);
  XSync(display, False);
  std::this_thread::sleep_for(200ms);
  XTestFakeButtonEvent(display, 1, True, 0);
  XTestFakeButtonEvent(display, 1, False, 0);
  XSync(display, False);
  XCloseDisplay(display);
}

TEST_F(DesktopWindow, OpensAFolderFromItsTreemapWithThePagesSecret) {
  if (!exists(kEngine)) {
    GTEST_SKIP() << "larkspan is not built";
  }
  // A home whose space is nearly all in Projects, whose space is in three unequal parts; the
  // page's treemap gives the largest part the first colour, the next ones the second and
  // third. Indexed before the app starts, so that the page shows it at once.
  const std::string home = temp_.mkdir("home");
  for (const auto& [name, bytes] :
       {std::pair{"Projects/a/data", 3'000'000}, std::pair{"Projects/b/data", 2'000'000},
        std::pair{"Projects/c/data", 1'500'000}, std::pair{"small/note", 100}}) {
    temp_.mkdir("home/" + std::filesystem::path(name).parent_path().string());
    temp_.write("home/" + std::string(name), std::string(bytes, 'x'));
  }
  const std::string data = temp_ / "data";
  const std::string engine = kEngine;
  {
    std::vector<std::string> argv = {engine, "--data", data, "--root", home, "index"};
    std::vector<char*> pointers;
    for (std::string& argument : argv) {
      pointers.push_back(argument.data());
    }
    pointers.push_back(nullptr);
    pid_t pid = -1;
    ASSERT_EQ(::posix_spawn(&pid, engine.c_str(), nullptr, nullptr, pointers.data(), environ), 0);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }

  const std::string page = temp_ / "page.png";
  TamberRun tamber({{"HOME", home},
                    {"TAMBER_DATA", data},
                    {"TAMBER_PORT", std::to_string(freePort())},
                    {"TAMBER_PAGE_SNAPSHOT", page}});
  ASSERT_TRUE(tamber.running());
  struct Reaper {
    std::string data;
    ~Reaper() {
      for (int pid : enginesServing(data)) {
        ::kill(pid, SIGKILL);
      }
    }
  } reaper{data};
  constexpr uint32_t kFirst = 0x4f9a85, kSecond = 0x5b84b1, kThird = 0xc07a4f;

  // The start page: the engine served it to the window (a page without the secret has no
  // picture), and Projects fills nearly all of the picture.
  ASSERT_TRUE(waitFor([&] { return exists(page); }, 60s)) << "the engine page never loaded";
  const std::string start = shotPath(temp_, "start-page.png");
  ASSERT_EQ(std::rename(page.c_str(), start.c_str()), 0);
  EXPECT_GT(pixelsOfColour(start, kFirst), 100'000);
  EXPECT_LT(pixelsOfColour(start, kSecond), 5'000);

  // A click in the picture opens Projects: a new page whose picture shows its three parts.
  const std::optional<Window> window = x_.window("Tamber");
  ASSERT_TRUE(window);
  clickInside(*window, 640, 420);
  ASSERT_TRUE(waitFor([&] { return exists(page); }, 30s)) << "no folder page loaded";
  const std::string folder = shotPath(temp_, "folder-page.png");
  ASSERT_EQ(std::rename(page.c_str(), folder.c_str()), 0);
  EXPECT_GT(pixelsOfColour(folder, kFirst), 60'000);
  EXPECT_GT(pixelsOfColour(folder, kSecond), 40'000);
  EXPECT_GT(pixelsOfColour(folder, kThird), 30'000);

  tamber.signal(SIGTERM);
  EXPECT_EQ(tamber.wait(15s), 0);
}

}  // namespace
}  // namespace tamber::testing
