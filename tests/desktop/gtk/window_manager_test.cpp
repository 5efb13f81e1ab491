// The real tamber under a real window manager (openbox) on a virtual X display: the ways
// people quit it (the title bar's close button, a panel's close request, the menu, Ctrl+Q) all
// run the quit sequence, and the About item shows its message.
#include <unistd.h>

#include <memory>

#include "desktop/fake_http_server.h"
#include "desktop/gtk/gui_support.h"

namespace tamber::testing {
namespace {

constexpr const char* kOpenbox = "/usr/bin/openbox";

class UnderWindowManager : public TamberWindowTest {
 protected:
  // openbox on the test's display from the first test to the last, stopped by its id; its
  // complaints (a missing menu file) go to /dev/null.
  static void SetUpTestSuite() {
    if (::access(kOpenbox, X_OK) == 0 && XSession().usable()) {
      manager = std::make_unique<ChildProcess>(std::vector<std::string>{kOpenbox, "--sm-disable"},
                                               ChildOptions{});
    }
  }
  static void TearDownTestSuite() { manager.reset(); }

  void SetUp() override {
    TamberWindowTest::SetUp();
    if (!IsSkipped() && !HasFailure() && !waitFor([&] { return x_.managed(); }, 10s)) {
      // CI provides the window manager; there its absence is a failure.
      const char* missing = "openbox is not managing the display (scripts/install-deps.sh test)";
      if (std::getenv("TAMBER_REQUIRE_REAL_PARTS") != nullptr) {
        FAIL() << missing;
      }
      GTEST_SKIP() << missing;
    }
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

  static inline std::unique_ptr<ChildProcess> manager;
};

TEST_F(UnderWindowManager, EveryWayToCloseItRunsTheQuitSequence) {
  for (const std::string way : {"close button", "panel", "Ctrl+Q"}) {
    SCOPED_TRACE(way);
    data_ = temp_ / way;
    ChildProcess tamber = start(freePort());
    const std::vector<Window> windows = windowsTitled("Tamber");
    ASSERT_EQ(windows.size(), 1u);
    ASSERT_TRUE(waitFor([&] { return enginesServing(data_).size() == 1; }, 30s))
        << "no engine was started for " << data_;
    EXPECT_FALSE(lockReleased(data_));
    if (way == "close button") {
      // The rightmost of the square buttons in the title bar openbox drew above the window.
      const XSession::Area client = x_.area(windows.front());
      std::optional<XSession::Area> close;
      for (const XSession::Area& part : x_.around(windows.front())) {
        const bool titleBar = part.y + part.height <= client.y;
        const bool button =
            part.width >= 8 && part.width <= 40 && std::abs(part.width - part.height) <= 4;
        if (titleBar && button && (!close || part.x > close->x)) {
          close = part;
        }
      }
      ASSERT_TRUE(close) << "openbox drew no buttons above the window";
      x_.click(close->x + close->width / 2, close->y + close->height / 2);
    } else if (way == "panel") {
      x_.requestClose(windows.front());
    } else {
      x_.pressKey(windows.front(), XK_q, true);
    }
    // Grants are revoked first (DesktopSession's own tests show it), then the engine Tamber
    // started is asked to end, the socket goes and the lock is free.
    expectQuitSequence(tamber);
    stopEngines();
  }
}

TEST_F(UnderWindowManager, AboutShowsItsMessageAndQuitQuits) {
  FakeHttpServer engine([](const std::string& path) {
    return path == "/api/invite"
               ? httpReply(200, R"({"product":"Tamber"})")
               : httpReply(200, "<!doctype html><title>Engine</title>engine page", "text/html");
  });
  ChildProcess tamber = start(engine.port());
  const std::vector<Window> windows = windowsTitled("Tamber");
  ASSERT_EQ(windows.size(), 1u);
  ASSERT_TRUE(waitFor([&] { return fs::exists(data_ + "/agent.sock"); }, 10s));

  // About: a second window titled "Tamber", the message box; OK closes it and Tamber stays.
  chooseMenuItem(windows.front(), 1);
  const std::vector<Window> withAbout = windowsTitled("Tamber", 2, 10s);
  ASSERT_EQ(withAbout.size(), 2u) << "About showed no message";
  x_.pressKey(withAbout.front() == windows.front() ? withAbout.back() : withAbout.front(),
              XK_Return, false);
  EXPECT_EQ(windowsTitled("Tamber", 1, 10s).size(), 1u) << "the message did not close";
  EXPECT_TRUE(tamber.running());

  // Quit, past the separator.
  chooseMenuItem(windows.front(), 2);
  expectQuitSequence(tamber);
}

}  // namespace
}  // namespace tamber::testing
