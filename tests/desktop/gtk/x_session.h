#pragma once

#include <X11/Xatom.h>
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

  // The titles of the viewable top-level windows. Under a window manager that puts each
  // window in a frame of its own, the frame stands for the window it holds.
  std::vector<std::pair<Window, std::string>> windows() {
    std::vector<std::pair<Window, std::string>> found;
    for (Window child : children(DefaultRootWindow(display_))) {
      XWindowAttributes attributes{};
      if (XGetWindowAttributes(display_, child, &attributes) == 0 ||
          attributes.map_state != IsViewable) {
        continue;
      }
      std::optional<std::string> name = title(child);
      Window shown = child;
      if (!name) {
        if (std::optional<Window> client = clientIn(child)) {
          shown = *client;
          name = title(*client);
        }
      }
      if (name) {
        found.emplace_back(shown, *name);
      }
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

  // Where `target` is on the screen: its top-left corner and its size.
  struct Area {
    int x = 0, y = 0, width = 0, height = 0;
  };
  Area area(Window target) {
    XWindowAttributes attributes{};
    XGetWindowAttributes(display_, target, &attributes);
    Area where{0, 0, attributes.width, attributes.height};
    Window ignored = 0;
    XTranslateCoordinates(display_, target, DefaultRootWindow(display_), 0, 0, &where.x, &where.y,
                          &ignored);
    return where;
  }

  // Gives `window` the keyboard and puts the pointer inside it, then presses `key` with
  // Control held when `control` is set.
  void pressKey(Window target, KeySym key, bool control) {
    XRaiseWindow(display_, target);
    XSetInputFocus(display_, target, RevertToParent, CurrentTime);
    const Area where = area(target);
    XTestFakeMotionEvent(display_, -1, where.x + where.width / 2, where.y + where.height / 2, 0);
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

  // Presses and releases the first mouse button at the screen position `x`, `y`.
  void click(int x, int y) {
    XTestFakeMotionEvent(display_, -1, x, y, 0);
    XSync(display_, False);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    XTestFakeButtonEvent(display_, 1, True, 0);
    XTestFakeButtonEvent(display_, 1, False, 0);
    XSync(display_, False);
  }

  // The name of the running window manager (as it announces itself to pagers and panels), or
  // nullopt while none manages the screen.
  std::optional<std::string> windowManager() {
    const std::optional<Window> check =
        windowProperty(DefaultRootWindow(display_), "_NET_SUPPORTING_WM_CHECK");
    if (!check || windowProperty(*check, "_NET_SUPPORTING_WM_CHECK") != check) {
      return std::nullopt;
    }
    return textProperty(*check, "_NET_WM_NAME");
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
    XSendEvent(display_, DefaultRootWindow(display_), False,
               SubstructureRedirectMask | SubstructureNotifyMask, &event);
    XSync(display_, False);
  }

  // The decorations' windows that a window manager drew around `client`, framed by it: the
  // frame's descendants other than the client, as they lie on the screen.
  std::vector<Area> decorations(Window client) {
    Window frame = client;
    for (;;) {
      Window root = 0, parent = 0;
      Window* list = nullptr;
      unsigned count = 0;
      if (XQueryTree(display_, frame, &root, &parent, &list, &count) == 0) {
        break;
      }
      if (list != nullptr) {
        XFree(list);
      }
      if (parent == root || parent == 0) {
        break;
      }
      frame = parent;
    }
    std::vector<Area> found;
    std::vector<Window> pending = children(frame);
    while (!pending.empty()) {
      const Window next = pending.back();
      pending.pop_back();
      if (next == client) {
        continue;
      }
      XWindowAttributes attributes{};
      if (XGetWindowAttributes(display_, next, &attributes) != 0 &&
          attributes.map_state == IsViewable) {
        found.push_back(area(next));
        for (Window child : children(next)) {
          pending.push_back(child);
        }
      }
    }
    return found;
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
  std::vector<Window> children(Window parentWindow) {
    Window root = 0, parent = 0;
    Window* list = nullptr;
    unsigned count = 0;
    std::vector<Window> found;
    if (XQueryTree(display_, parentWindow, &root, &parent, &list, &count) != 0 && list != nullptr) {
      found.assign(list, list + count);
      XFree(list);
    }
    return found;
  }

  std::optional<std::string> title(Window target) {
    char* name = nullptr;
    std::optional<std::string> found;
    if (XFetchName(display_, target, &name) != 0 && name != nullptr) {
      found = name;
    }
    if (name != nullptr) {
      XFree(name);
    }
    return found;
  }

  // The application window inside a window manager's frame: the one marked with WM_STATE.
  std::optional<Window> clientIn(Window frame) {
    const Atom state = XInternAtom(display_, "WM_STATE", False);
    std::vector<Window> pending{frame};
    while (!pending.empty()) {
      const Window next = pending.back();
      pending.pop_back();
      Atom type = 0;
      int format = 0;
      unsigned long items = 0, left = 0;
      unsigned char* data = nullptr;
      if (XGetWindowProperty(display_, next, state, 0, 0, False, AnyPropertyType, &type, &format,
                             &items, &left, &data) == Success) {
        if (data != nullptr) {
          XFree(data);
        }
        if (type != None) {
          return next;
        }
      }
      for (Window child : children(next)) {
        pending.push_back(child);
      }
    }
    return std::nullopt;
  }

  std::optional<Window> windowProperty(Window target, const char* name) {
    Atom type = 0;
    int format = 0;
    unsigned long items = 0, left = 0;
    unsigned char* data = nullptr;
    std::optional<Window> found;
    if (XGetWindowProperty(display_, target, XInternAtom(display_, name, False), 0, 1, False,
                           XA_WINDOW, &type, &format, &items, &left, &data) == Success &&
        data != nullptr && items == 1 && format == 32) {
      found = *reinterpret_cast<Window*>(data);
    }
    if (data != nullptr) {
      XFree(data);
    }
    return found;
  }

  std::optional<std::string> textProperty(Window target, const char* name) {
    Atom type = 0;
    int format = 0;
    unsigned long items = 0, left = 0;
    unsigned char* data = nullptr;
    std::optional<std::string> found;
    if (XGetWindowProperty(display_, target, XInternAtom(display_, name, False), 0, 256, False,
                           AnyPropertyType, &type, &format, &items, &left, &data) == Success &&
        data != nullptr && format == 8) {
      found = std::string(reinterpret_cast<char*>(data), items);
    }
    if (data != nullptr) {
      XFree(data);
    }
    return found;
  }

  Display* display_;
};

}  // namespace tamber::testing
