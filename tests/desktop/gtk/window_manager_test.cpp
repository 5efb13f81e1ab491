// The real tamber under a real window manager (openbox) on a virtual X display: the ways
// people quit it (the title bar's close button, a panel's close request, Ctrl+Q, the menu) all
// run the quit sequence, and the About item shows its message and leaves it open.
#include "desktop/gtk/gui_support.h"

namespace tamber::testing {
namespace {

class UnderWindowManager : public TamberWindowTest {
 protected:
  // openbox on the test's display, stopped by its id when the test ends; its complaints (a
  // missing menu file) go to /dev/null.
  void SetUp() override {
    TamberWindowTest::SetUp();
    if (IsSkipped() || HasFailure()) {
      return;
    }
    manager_.emplace(std::vector<std::string>{"/usr/bin/openbox", "--sm-disable"}, ChildOptions{});
    if (!waitFor([&] { return x_.managed(); }, 10s)) {
      lacking("TAMBER_REQUIRE_REAL_PARTS",
              "openbox is not managing the display (scripts/install-deps.sh test)");
    }
  }

  // Opens the window's menu from the keyboard (F10) and chooses its item `downs` steps down,
  // not counting the separator.
  void chooseMenuItem(Window window, int downs) {
    x_.pressKeys(window, {XK_F10});
    std::this_thread::sleep_for(500ms);
    for (int i = 0; i < downs; ++i) {
      x_.pressKeys(window, {XK_Down});
    }
    x_.pressKeys(window, {XK_Return});
  }

  std::optional<ChildProcess> manager_;
};

TEST_F(UnderWindowManager, EveryWayToCloseItRunsTheQuitSequence) {
  for (const std::string way : {"close button", "panel", "Ctrl+Q", "About, then Quit"}) {
    SCOPED_TRACE(way);
    data_ = temp_ / way;
    ChildProcess tamber = start(freeLoopbackPort());
    const std::vector<Window> windows = windowsTitled("Tamber");
    ASSERT_EQ(windows.size(), 1u);
    ASSERT_TRUE(waitFor([&] { return enginesServing(data_).size() == 1; }, 30s))
        << "no engine was started for " << data_;
    EXPECT_FALSE(lockReleased(data_));
    if (way == "close button") {
      // The rightmost of the square buttons in the title bar openbox drew above the window.
      const XSession::Area client = x_.area(windows.front());
      std::optional<XSession::Area> close;
      for (const XSession::Area& part : x_.areas()) {
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
    } else if (way == "Ctrl+Q") {
      x_.pressKeys(windows.front(), {XK_Control_L, XK_q});
    } else {
      // About: a second window titled "Tamber", the message box; OK closes it and Tamber stays.
      chooseMenuItem(windows.front(), 1);
      const std::vector<Window> withAbout = windowsTitled("Tamber", 2, 10s);
      ASSERT_EQ(withAbout.size(), 2u) << "About showed no message";
      x_.pressKeys(withAbout.front() == windows.front() ? withAbout.back() : withAbout.front(),
                   {XK_Return});
      EXPECT_EQ(windowsTitled("Tamber", 1, 10s).size(), 1u) << "the message did not close";
      EXPECT_TRUE(tamber.running());
      chooseMenuItem(windows.front(), 2);  // Quit, past the separator
    }
    // Grants are revoked first (DesktopSession's own tests show it), then the engine Tamber
    // started is asked to end, the socket goes and the lock is free.
    expectQuitSequence(tamber);
    stopEngines();
  }
}

}  // namespace
}  // namespace tamber::testing
