#pragma once

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <cairo-xlib.h>
#include <cairo.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace tamber::testing {

// The tests' hands and eyes on the X display named by DISPLAY: the top-level windows and
// their titles, synthetic key presses (XTest), and screenshots of the screen.
class XSession {
 public:
  XSession() : display_(XOpenDisplay(nullptr)) {
    // Windows come and go while they are listed; a vanished one is no reason to exit.
    XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
  }
  ~XSession() {
    if (display_ != nullptr) {
      XCloseDisplay(display_);
    }
  }
  XSession(const XSession&) = delete;
  XSession& operator=(const XSession&) = delete;

  bool usable() const {
    int event = 0, error = 0, major = 0, minor = 0;
    return display_ != nullptr && XTestQueryExtension(display_, &event, &error, &major, &minor);
  }

  // The titles of the viewable top-level windows.
  std::vector<std::pair<Window, std::string>> windows() {
    std::vector<std::pair<Window, std::string>> found;
    Window root = DefaultRootWindow(display_), parent = 0;
    Window* children = nullptr;
    unsigned count = 0;
    if (XQueryTree(display_, root, &root, &parent, &children, &count) == 0) {
      return found;
    }
    for (unsigned i = 0; i < count; ++i) {
      XWindowAttributes attributes{};
      char* name = nullptr;
      if (XGetWindowAttributes(display_, children[i], &attributes) != 0 &&
          attributes.map_state == IsViewable && XFetchName(display_, children[i], &name) != 0 &&
          name != nullptr) {
        found.emplace_back(children[i], name);
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

  std::optional<Window> window(const std::string& title) {
    for (const auto& [id, name] : windows()) {
      if (name == title) {
        return id;
      }
    }
    return std::nullopt;
  }

  // Gives `window` the keyboard and puts the pointer inside it, then presses `key` with
  // Control held when `control` is set.
  void pressKey(Window target, KeySym key, bool control) {
    XRaiseWindow(display_, target);
    XSetInputFocus(display_, target, RevertToParent, CurrentTime);
    XWindowAttributes attributes{};
    XGetWindowAttributes(display_, target, &attributes);
    XTestFakeMotionEvent(display_, -1, attributes.x + attributes.width / 2,
                         attributes.y + attributes.height / 2, 0);
    XSync(display_, False);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const KeyCode controlKey = XKeysymToKeycode(display_, XK_Control_L);
    const KeyCode code = XKeysymToKeycode(display_, key);
    if (control) {
      XTestFakeKeyEvent(display_, controlKey, True, 0);
    }
    XTestFakeKeyEvent(display_, code, True, 0);
    XTestFakeKeyEvent(display_, code, False, 0);
    if (control) {
      XTestFakeKeyEvent(display_, controlKey, False, 0);
    }
    XSync(display_, False);
  }

  // Writes the whole screen to `path` as PNG.
  bool screenshot(const std::string& path) {
    const int screen = DefaultScreen(display_);
    XSync(display_, False);
    cairo_surface_t* surface = cairo_xlib_surface_create(
        display_, DefaultRootWindow(display_), DefaultVisual(display_, screen),
        DisplayWidth(display_, screen), DisplayHeight(display_, screen));
    const bool written = cairo_surface_write_to_png(surface, path.c_str()) == CAIRO_STATUS_SUCCESS;
    cairo_surface_destroy(surface);
    return written;
  }

 private:
  Display* display_;
};

}  // namespace tamber::testing
