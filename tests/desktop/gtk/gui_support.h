#pragma once

// What the GUI tests share: the X display seen from outside as a person sees it (windows and
// their titles, XTest key presses and clicks), pictures of the page, runs of the real tamber with a
// controlled environment, and the engines it started.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/process.h"
#include "platform/unique_fd.h"
#include "support/network.h"
#include "support/runs.h"
#include "support/temp_dir.h"
#include "support/waiting.h"

// Last: Xlib defines macros (None, Bool, Status) that clash with other headers.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <cairo.h>

namespace tamber::testing {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

inline const std::string kTamber = tamberBinary();
inline const std::string kEngine = larkspanBinary();

// The tests' hands and eyes on the X display named by DISPLAY.
class XSession {
 public:
  struct Area {
    int x = 0, y = 0, width = 0, height = 0;  // on the screen
  };

  XSession() {
    // Windows come and go while they are listed; a vanished one is no reason to exit.
    XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
  }

  bool usable() const {
    int event = 0, error = 0, major = 0, minor = 0;
    return display_ != nullptr && XTestQueryExtension(display_, &event, &error, &major, &minor);
  }

  // The viewable top-level windows and their titles. Under a window manager that puts each
  // window in a frame, the titled window in the frame (the application's) stands for it.
  std::vector<std::pair<Window, std::string>> windows() {
    std::vector<std::pair<Window, std::string>> found;
    for (Window child : children(root())) {
      for (Window inside : tree(child)) {
        if (std::optional<std::string> name = title(inside)) {
          found.emplace_back(inside, *name);
          break;
        }
      }
    }
    return found;
  }

  Area area(Window target) {
    XWindowAttributes attributes{};
    XGetWindowAttributes(display_, target, &attributes);
    Area where{0, 0, attributes.width, attributes.height};
    Window ignored = 0;
    XTranslateCoordinates(display_, target, root(), 0, 0, &where.x, &where.y, &ignored);
    return where;
  }

  // Gives `target` the keyboard, puts the pointer inside it and presses `keys` together: held
  // down in order, released in reverse.
  void pressKeys(Window target, const std::vector<KeySym>& keys) {
    XRaiseWindow(display_, target);
    XSetInputFocus(display_, target, RevertToParent, CurrentTime);
    const Area where = area(target);
    moveTo(where.x + where.width / 2, where.y + where.height / 2);
    for (KeySym key : keys) {
      XTestFakeKeyEvent(display_, XKeysymToKeycode(display_, key), True, 0);
    }
    for (auto key = keys.rbegin(); key != keys.rend(); ++key) {
      XTestFakeKeyEvent(display_, XKeysymToKeycode(display_, *key), False, 0);
    }
    XSync(display_, False);
  }

  // Presses and releases the first mouse button at the screen position `x`, `y`.
  void click(int x, int y) {
    moveTo(x, y);
    XTestFakeButtonEvent(display_, 1, True, 0);
    XTestFakeButtonEvent(display_, 1, False, 0);
    XSync(display_, False);
  }

  // True once a window manager manages the screen (it announces itself to pagers so).
  bool managed() {
    const Atom check = XInternAtom(display_, "_NET_SUPPORTING_WM_CHECK", False);
    return property(root(), check, XA_WINDOW, 1);
  }

  // Asks the window manager to close `target` the way a panel or pager does (wmctrl -c).
  void requestClose(Window target) {
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = target;
    event.xclient.message_type = XInternAtom(display_, "_NET_CLOSE_WINDOW", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = CurrentTime;
    event.xclient.data.l[1] = 2;  // from a pager: honoured whatever has the focus
    XSendEvent(display_, root(), False, SubstructureRedirectMask | SubstructureNotifyMask, &event);
    XSync(display_, False);
  }

  // Where the viewable windows lie on the screen: under a window manager, the frames and
  // decorations it drew as well.
  std::vector<Area> areas() {
    std::vector<Area> found;
    for (Window part : tree(root())) {
      found.push_back(area(part));
    }
    return found;
  }

 private:
  Window root() const { return DefaultRootWindow(display_); }

  void moveTo(int x, int y) {
    XTestFakeMotionEvent(display_, -1, x, y, 0);
    XSync(display_, False);
    std::this_thread::sleep_for(200ms);
  }

  bool viewable(Window target) {
    XWindowAttributes attributes{};
    return XGetWindowAttributes(display_, target, &attributes) != 0 &&
           attributes.map_state == IsViewable;
  }

  std::vector<Window> children(Window target) {
    Window ignored = 0;
    Window* list = nullptr;
    unsigned count = 0;
    XQueryTree(display_, target, &ignored, &ignored, &list, &count);  // none when it fails
    std::vector<Window> found(list, list + count);
    XFree(list);  // free(), which takes a null pointer
    return found;
  }

  // `top` and the windows below it while they are viewable, depth first.
  std::vector<Window> tree(Window top) {
    std::vector<Window> found, pending{top};
    while (!pending.empty()) {
      const Window next = pending.back();
      pending.pop_back();
      if (viewable(next)) {
        found.push_back(next);
        for (Window child : children(next)) {
          pending.push_back(child);
        }
      }
    }
    return found;
  }

  std::optional<std::string> title(Window target) {
    char* name = nullptr;
    if (XFetchName(display_, target, &name) == 0 || name == nullptr) {
      return std::nullopt;
    }
    const std::string found = name;
    XFree(name);
    return found;
  }

  // Whether `target` has the property `name` (of `type`, with at least `items` items).
  bool property(Window target, Atom name, Atom type, unsigned long items) {
    Atom found = 0;
    int format = 0;
    unsigned long count = 0, left = 0;
    unsigned char* data = nullptr;
    const bool present = XGetWindowProperty(display_, target, name, 0, 1, False, type, &found,
                                            &format, &count, &left, &data) == Success &&
                         found != 0 && count >= items;
    XFree(data);
    return present;
  }

  std::unique_ptr<Display, int (*)(Display*)> owner_{XOpenDisplay(nullptr), XCloseDisplay};
  Display* display_ = owner_.get();
};

// The size of the PNG at `path` and how many of its pixels have each colour (0xRRGGBB); all
// zero when cairo cannot read it.
struct Picture {
  int width = 0, height = 0;
  std::map<uint32_t, long> colours;

  long pixels(uint32_t rgb) const { return colours.contains(rgb) ? colours.at(rgb) : 0; }
};
inline Picture picture(const std::string& path) {
  cairo_surface_t* image = cairo_image_surface_create_from_png(path.c_str());
  Picture found;
  if (cairo_surface_status(image) == CAIRO_STATUS_SUCCESS) {
    found.width = cairo_image_surface_get_width(image);
    found.height = cairo_image_surface_get_height(image);
    const unsigned char* data = cairo_image_surface_get_data(image);
    for (int y = 0; y < found.height; ++y) {
      const auto* row = reinterpret_cast<const uint32_t*>(
          data + static_cast<ptrdiff_t>(y) * cairo_image_surface_get_stride(image));
      for (int x = 0; x < found.width; ++x) {
        ++found.colours[row[x] & 0xffffffu];
      }
    }
  }
  cairo_surface_destroy(image);
  return found;
}

// Where the PNG at `path` shows the colour `rgb` (0xRRGGBB): the box around all its pixels, in
// the picture's own coordinates; nothing when it has none.
inline std::optional<XSession::Area> colourBox(const std::string& path, uint32_t rgb) {
  cairo_surface_t* image = cairo_image_surface_create_from_png(path.c_str());
  std::optional<XSession::Area> box;
  if (cairo_surface_status(image) == CAIRO_STATUS_SUCCESS) {
    const unsigned char* data = cairo_image_surface_get_data(image);
    int left = std::numeric_limits<int>::max(), top = left, right = -1, bottom = -1;
    for (int y = 0; y < cairo_image_surface_get_height(image); ++y) {
      const auto* row = reinterpret_cast<const uint32_t*>(
          data + static_cast<ptrdiff_t>(y) * cairo_image_surface_get_stride(image));
      for (int x = 0; x < cairo_image_surface_get_width(image); ++x) {
        if ((row[x] & 0xffffffu) == rgb) {
          left = std::min(left, x), right = std::max(right, x);
          top = std::min(top, y), bottom = std::max(bottom, y);
        }
      }
    }
    if (right >= 0) {
      box = XSession::Area{left, top, right - left + 1, bottom - top + 1};
    }
  }
  cairo_surface_destroy(image);
  return box;
}

// Engines still serving `dataDirectory`, found by their command line (a zombie has none).
inline std::vector<int> enginesServing(const std::string& dataDirectory) {
  std::vector<int> found;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string pid = entry.path().filename();
    if (pid.find_first_not_of("0123456789") == std::string::npos &&
        readFile("/proc/" + pid + "/cmdline")
            .starts_with(kEngine + '\0' + "--data" + '\0' + dataDirectory + '\0')) {
      found.push_back(std::stoi(pid));
    }
  }
  return found;
}

// True when no one holds the catalog lock of `data` any more.
inline bool lockReleased(const std::string& data) {
  UniqueFd lock(::open((data + "/native.lock").c_str(), O_RDWR | O_CLOEXEC));
  return lock.valid() && ::flock(lock.get(), LOCK_EX | LOCK_NB) == 0;
}

// A test of the real tamber on the display (TAMBER_REQUIRE_DISPLAY: where CI provides one).
// No engine started for its data directory outlives it.
class TamberWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!x_.usable()) {
      lacking("TAMBER_REQUIRE_DISPLAY", "no X display with the XTest extension (run xvfb-run)");
    }
  }
  void TearDown() override { stopEngines(); }

  // A real part the test needs is `missing`: a failure where CI provides it (`required` set),
  // a skip elsewhere.
  static void lacking(const char* required, const char* missing) {
    if (std::getenv(required) != nullptr) {
      FAIL() << missing;
    }
    GTEST_SKIP() << missing;
  }

  void stopEngines() {
    for (int pid : enginesServing(data_)) {
      ::kill(pid, SIGKILL);
    }
  }

  // tamber with the engine at `port`, a home of its own and data_ as its data directory, unless
  // `settings` say otherwise; no other TAMBER_ setting of this process reaches it. Standard
  // error goes to `errorPath` unless it is empty.
  ChildProcess start(int port, std::map<std::string, std::string> settings = {},
                     const std::string& errorPath = "") {
    settings.insert({{"HOME", temp_.mkdir("home")},
                     {"TAMBER_DATA", data_},
                     {"TAMBER_PORT", std::to_string(port)}});
    EnvironmentChanges environment;
    for (const char* name : {"TAMBER_FIXTURE_ROOT", "TAMBER_NATIVE_PROOF", "TAMBER_PAGE_SNAPSHOT",
                             "TAMBER_GRANT", "XDG_DATA_HOME", "http_proxy"}) {
      environment.emplace_back(name, std::nullopt);
    }
    // A sanitizer build must not turn GTK's deliberate leaks at exit into a failed status.
    environment.emplace_back("ASAN_OPTIONS", "detect_leaks=0");
    environment.insert(environment.end(), settings.begin(), settings.end());
    const UniqueFd errors(
        ::open(errorPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    ChildProcess tamber({kTamber},
                        {environment, ChildStream::toNullDevice(), ChildStream::inherit(),
                         errors ? ChildStream::to(errors.get()) : ChildStream::inherit()});
    EXPECT_TRUE(tamber.running());
    return tamber;
  }

  // The windows titled `title` once there are `count` of them within `limit`.
  std::vector<Window> windowsTitled(const std::string& title, size_t count = 1,
                                    std::chrono::milliseconds limit = 60s) {
    std::vector<Window> found;
    waitFor(
        [&] {
          found.clear();
          for (const auto& [id, name] : x_.windows()) {
            if (name == title) {
              found.push_back(id);
            }
          }
          return found.size() == count;
        },
        limit);
    return found;
  }

  // tamber ends with status 0 within `limit` and its quit sequence ran: the engine it
  // started is gone, the socket removed and the lock free.
  void expectQuitSequence(ChildProcess& tamber, std::chrono::milliseconds limit = 15s) {
    EXPECT_EQ(tamber.wait(limit), 0);
    EXPECT_TRUE(waitFor([&] { return enginesServing(data_).empty(); }, 10s))
        << "the engine tamber started is still running";
    EXPECT_FALSE(fs::exists(data_ + "/agent.sock"));
    EXPECT_TRUE(lockReleased(data_));
  }

  XSession x_;
  TempDir temp_;
  std::string data_ = temp_ / "data";
};

}  // namespace tamber::testing
