// The fixture-mode proof of the real tamber on a virtual X display: one run against the real
// engine that must leave a complete report, a snapshot of the page and exactly the audited
// agent requests, and one against a server whose page lacks the access controls.
#include <gtest/gtest.h>

#include <cairo.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/reply.h"
#include "desktop/fake_http_server.h"
#include "desktop/gtk/gui_support.h"
#include "platform/unique_fd.h"
#include "support/temp_dir.h"

// Last: Xlib defines macros (None, Bool, Status) that clash with the headers above.
#include <X11/Xlib.h>

namespace tamber::testing {
namespace {

using namespace std::chrono_literals;

// The fixture watchdog ends every fixture run 30 seconds after launch; a run still going
// well past that did not end by itself.
constexpr auto kWatchdogAndStart = 45s;

// One connection to the X display for the whole binary, kept open to its end: Xvfb resets
// itself when its last client leaves and refuses connections meanwhile, which would make a
// later test find no display.
Display* sharedDisplay() {
  static Display* display = [] {
    XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
    Display* opened = nullptr;
    if (std::getenv("DISPLAY") == nullptr) {
      return opened;
    }
    waitFor([&] { return (opened = XOpenDisplay(nullptr)) != nullptr; }, 5s);
    return opened;
  }();
  return display;
}

// The X display's view of the window titled `title`: its size once it is mapped.
class WindowWatch {
 public:
  bool usable() const { return display_ != nullptr; }

  std::optional<std::pair<int, int>> size(const std::string& title) {
    Window root = DefaultRootWindow(display_), parent = 0;
    Window* children = nullptr;
    unsigned count = 0;
    std::optional<std::pair<int, int>> found;
    if (XQueryTree(display_, root, &root, &parent, &children, &count) == 0) {
      return found;
    }
    for (unsigned i = 0; i < count; ++i) {
      XWindowAttributes attributes{};
      char* name = nullptr;
      if (XGetWindowAttributes(display_, children[i], &attributes) != 0 &&
          attributes.map_state == IsViewable && XFetchName(display_, children[i], &name) != 0 &&
          name != nullptr && title == name) {
        found = std::make_pair(attributes.width, attributes.height);
      }
      if (name != nullptr) {
        XFree(name);
      }
    }
    if (children != nullptr) {
      XFree(children);
    }
    return found;
  }

 private:
  Display* display_ = sharedDisplay();
};

struct EngineReaper {
  std::string data;
  ~EngineReaper() {
    for (int pid : enginesServing(data)) {
      ::kill(pid, SIGKILL);
    }
  }
};

// Width, height and whether more than one colour shows, of the PNG at `path`; nullopt when
// it is no PNG cairo can read.
struct Picture {
  int width = 0;
  int height = 0;
  size_t colours = 0;
};
std::optional<Picture> picture(const std::string& path) {
  cairo_surface_t* surface = cairo_image_surface_create_from_png(path.c_str());
  std::optional<Picture> result;
  if (cairo_surface_status(surface) == CAIRO_STATUS_SUCCESS) {
    Picture found;
    found.width = cairo_image_surface_get_width(surface);
    found.height = cairo_image_surface_get_height(surface);
    const int stride = cairo_image_surface_get_stride(surface);
    const unsigned char* pixels = cairo_image_surface_get_data(surface);
    std::set<uint32_t> colours;
    for (int y = 0; y < found.height && colours.size() < 64; y += 3) {
      const auto* row = reinterpret_cast<const uint32_t*>(pixels + y * stride);
      for (int x = 0; x < found.width && colours.size() < 64; x += 3) {
        colours.insert(row[x] & 0xffffffu);
      }
    }
    found.colours = colours.size();
    result = found;
  }
  cairo_surface_destroy(surface);
  return result;
}

std::vector<Json> jsonLines(const std::string& text) {
  std::vector<Json> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    lines.push_back(Json::parse(line));
  }
  return lines;
}

std::set<std::string> keysOf(const Json& object) {
  std::set<std::string> keys;
  for (const auto& [key, value] : object.items()) {
    keys.insert(key);
  }
  return keys;
}

// Where the report and snapshot are kept after the test: TAMBER_SHOTS_DIR when set.
void keep(const std::string& path, const std::string& name) {
  const char* shots = std::getenv("TAMBER_SHOTS_DIR");
  if (shots != nullptr && *shots != '\0' && std::filesystem::exists(path)) {
    std::filesystem::create_directories(shots);
    std::filesystem::copy_file(path, std::string(shots) + "/" + name,
                               std::filesystem::copy_options::overwrite_existing);
  }
}

class FixtureProof : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!x_.usable()) {
      // CI runs these under xvfb-run; there a missing display is a failure, not a skip.
      if (std::getenv("TAMBER_REQUIRE_DISPLAY") != nullptr) {
        FAIL() << "no X display (run under xvfb-run)";
      }
      GTEST_SKIP() << "no X display (run under xvfb-run)";
    }
    if (!std::filesystem::exists(kTamber) || !std::filesystem::exists(kEngine)) {
      GTEST_SKIP() << "tamber and larkspan are not built";
    }
    temp_.mkdir("fixture/projects/old");
    temp_.write("fixture/notes.txt", "some notes\n");
    temp_.write("fixture/photo.raw", std::string(200000, 'p'));
    temp_.write("fixture/projects/plan.md", "# plan\n");
    temp_.write("fixture/projects/old/draft.md", "draft\n");
  }

  std::map<std::string, std::string> settings(int port) {
    return {{"HOME", temp_.mkdir("home")},
            {"TAMBER_DATA", data_},
            {"TAMBER_PORT", std::to_string(port)},
            {"TAMBER_FIXTURE_ROOT", fixture_},
            {"TAMBER_NATIVE_PROOF", report_}};
  }

  WindowWatch x_;
  TempDir temp_;
  std::string data_ = temp_ / "data";
  std::string fixture_ = temp_ / "fixture";
  std::string report_ = temp_ / "proof.json";
  std::string errors_ = temp_ / "stderr.txt";
};

TEST_F(FixtureProof, RealWindowEngineAndAgentPathLeaveTheFullReportAndASnapshot) {
  EngineReaper reaper{data_};
  TamberRun tamber(settings(freePort()), errors_);
  ASSERT_TRUE(tamber.running());
  std::optional<std::pair<int, int>> window;
  waitFor(
      [&] {
        window = x_.size("Tamber");
        return window.has_value() || !tamber.running();
      },
      30s);
  ASSERT_TRUE(window) << "the Tamber window never showed";

  ASSERT_EQ(tamber.wait(kWatchdogAndStart), 0) << "tamber did not end by itself";
  // A run that only the watchdog ended would have taken 30 seconds from launch.
  EXPECT_LT(tamber.lifetime(), 30s);
  EXPECT_EQ(readFile(errors_).find("Native fixture failure"), std::string::npos)
      << readFile(errors_);
  keep(report_, "fixture-proof.json");
  keep(report_ + ".png", "fixture-proof.json.png");

  ASSERT_TRUE(std::filesystem::exists(report_)) << readFile(errors_);
  const std::string text = readFile(report_);
  const Json report = Json::parse(text);
  EXPECT_EQ(text, jsonData(report));  // compact, keys sorted
  EXPECT_EQ(keysOf(report),
            (std::set<std::string>{"agent_broker", "passed", "native_window", "web_kit_rendered",
                                   "invitation_generated", "file_grants_default_none",
                                   "fixture_only", "os_auth_ui_verified"}));
  EXPECT_EQ(report["passed"], true);
  EXPECT_EQ(report["native_window"], true);
  EXPECT_EQ(report["invitation_generated"], true);
  EXPECT_EQ(report["file_grants_default_none"], true);
  EXPECT_EQ(report["fixture_only"], true);
  EXPECT_EQ(report["os_auth_ui_verified"], false);
  EXPECT_EQ(report["agent_broker"], Json::parse(R"({"cli_to_unix_socket":true,"view_read":true,
    "view_edit_denied":true,"copy_verified":true,"revoked_request_denied":true,
    "tokens_logged":false,"protected_elevated_path_denied_before_prompt":true})"));
  const Json& page = report["web_kit_rendered"];
  EXPECT_EQ(keysOf(page),
            (std::set<std::string>{"title", "invite", "ordinary", "elevated", "rows", "indexed"}));
  EXPECT_EQ(page["title"], "Tamber");
  EXPECT_EQ(page["invite"], true);
  EXPECT_EQ(page["ordinary"], true);
  EXPECT_EQ(page["elevated"], true);
  // The total, the fixture's one folder (projects) and its files beside it (notes.txt and
  // photo.raw).
  EXPECT_EQ(page["rows"], 3);
  EXPECT_TRUE(page["indexed"].is_string());

  // The page as the window showed it: the web view fills the window's width and all of its
  // height but the menu bar.
  const std::optional<Picture> shot = picture(report_ + ".png");
  ASSERT_TRUE(shot) << "no readable PNG beside the report";
  EXPECT_EQ(shot->width, window->first);
  EXPECT_LE(shot->height, window->second);
  EXPECT_GT(shot->height, window->second - 80);
  EXPECT_GT(shot->colours, 4u) << "the snapshot is blank";

  // Exactly the two successful requests are audited, and no token is anywhere.
  const std::string fixtureFile = fixture_ + "/agent-fixture.txt";
  const std::vector<Json> audit = jsonLines(readFile(data_ + "/agent-audit.jsonl"));
  ASSERT_EQ(audit.size(), 2u);
  EXPECT_EQ(audit[0]["action"], "read");
  EXPECT_EQ(audit[0]["path"], fixtureFile);
  EXPECT_EQ(audit[1]["action"], "copy");
  EXPECT_EQ(audit[1]["destination"], fixtureFile + ".copy");
  for (const Json& record : audit) {
    EXPECT_EQ(record["ok"], true);
    EXPECT_EQ(record["elevated"], false);
    EXPECT_FALSE(record.contains("token"));
  }
  const std::regex token("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
  for (const std::string& file :
       {data_ + "/agent-audit.jsonl", report_, errors_, data_ + "/desktop-engine.log"}) {
    EXPECT_FALSE(std::regex_search(readFile(file), token)) << "a token in " << file;
  }

  EXPECT_EQ(readFile(fixtureFile), "agent fixture");
  EXPECT_EQ(readFile(fixtureFile + ".copy"), "agent fixture");
  EXPECT_FALSE(std::filesystem::exists(fixtureFile + ".denied"));
  // The quit sequence ran: socket gone, engine asked to end.
  EXPECT_FALSE(std::filesystem::exists(data_ + "/agent.sock"));
  EXPECT_TRUE(waitFor([&] { return enginesServing(data_).empty(); }, 10s));
}

TEST_F(FixtureProof, PageWithoutTheAccessControlsWritesNoReport) {
  // Tamber's identity and a page with entries, but none of the access controls.
  const char* page = R"(<!doctype html><title>Tamber</title>
<p id="indexed">Indexed just now</p>
<table><tr class="entry"><td>notes.txt</td></tr><tr class="entry"><td>projects</td></tr></table>)";
  FakeHttpServer server([&](const std::string& path) {
    if (path == "/api/invite") {
      return httpReply(200, R"({"product":"Tamber","text":"CLI: larkspan TAMBER_GRANT"})");
    }
    return httpReply(200, page, "text/html");
  });
  TamberRun tamber(settings(server.port()), errors_);
  ASSERT_TRUE(tamber.running());
  ASSERT_EQ(tamber.wait(kWatchdogAndStart), 0) << "tamber did not end by itself";
  EXPECT_LT(tamber.lifetime(), 30s);
  EXPECT_NE(readFile(errors_).find("Native fixture failure: Native app must show the actual "
                                   "indexed UI and access controls\n"),
            std::string::npos)
      << readFile(errors_);
  EXPECT_FALSE(std::filesystem::exists(report_));
  EXPECT_FALSE(std::filesystem::exists(report_ + ".png"));
  // The proof stopped before the agent path: no fixture file, no audit, no engine of ours.
  EXPECT_FALSE(std::filesystem::exists(fixture_ + "/agent-fixture.txt"));
  EXPECT_FALSE(std::filesystem::exists(data_ + "/agent-audit.jsonl"));
  EXPECT_FALSE(std::filesystem::exists(data_ + "/desktop-engine.log"));
}

TEST_F(FixtureProof, AgentCommandLineThatNeverAnswersFailsTheRunInsteadOfFreezingIt) {
  // A tamber whose engine (the larkspan beside it) invites but never answers an agent
  // request, in front of a page that passes the probe.
  const std::string bin = temp_.mkdir("bin");
  std::filesystem::copy_file(kTamber, bin + "/tamber");
  const std::string engine = temp_.write("bin/larkspan", R"(#!/bin/sh
case "$*" in
  *" invite --json") echo '{"text":"CLI: larkspan --json agent; export TAMBER_GRANT=..."}' ;;
  *) exec sleep 120 ;;
esac
)");
  ::chmod(engine.c_str(), 0755);
  const char* page = R"(<!doctype html><title>Tamber</title>
<button id="invite-agent">Invite</button><button id="grant-ordinary">Grant</button>
<button id="grant-elevated">Grant with approval</button>
<table><tr class="entry"><td>notes.txt</td></tr></table>)";
  FakeHttpServer server([&](const std::string& path) {
    return path == "/api/invite" ? httpReply(200, R"({"product":"Tamber"})")
                                 : httpReply(200, page, "text/html");
  });
  TamberRun tamber(settings(server.port()), errors_, bin + "/tamber");
  ASSERT_TRUE(tamber.running());
  ASSERT_EQ(tamber.wait(kWatchdogAndStart), 0) << "tamber did not end by itself";
  // The first agent run was stopped at its limit, well before the watchdog.
  EXPECT_LT(tamber.lifetime(), 30s);
  EXPECT_NE(readFile(errors_).find(
                "Native fixture failure: Agent CLI did not complete within 10 seconds\n"),
            std::string::npos)
      << readFile(errors_);
  EXPECT_FALSE(std::filesystem::exists(report_));
  EXPECT_FALSE(std::filesystem::exists(report_ + ".png"));
  EXPECT_EQ(readFile(fixture_ + "/agent-fixture.txt"), "agent fixture");
}

}  // namespace
}  // namespace tamber::testing
