// Xlib stays in this file: its macros (None, Bool, Status) collide with
// everything else.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <poll.h>

#include <chrono>
#include <climits>
#include <optional>
#include <string>

namespace cw::test {

std::optional<std::string> readClipboard(const std::string& display) {
  Display* connection = XOpenDisplay(display.c_str());
  if (!connection) return std::nullopt;
  const Window requestor = XCreateSimpleWindow(connection, DefaultRootWindow(connection), 0, 0, 1, 1, 0, 0, 0);
  const Atom clipboard = XInternAtom(connection, "CLIPBOARD", False);
  const Atom utf8 = XInternAtom(connection, "UTF8_STRING", False);
  const Atom property = XInternAtom(connection, "CW_CLIPBOARD", False);
  XConvertSelection(connection, clipboard, utf8, property, requestor, CurrentTime);
  XFlush(connection);

  std::optional<std::string> text;
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(30);  // a hang guard only
  for (bool answered = false; !answered && std::chrono::steady_clock::now() < giveUp;) {
    if (!XPending(connection)) {
      pollfd entry{ConnectionNumber(connection), POLLIN, 0};
      ::poll(&entry, 1, 100);
      continue;
    }
    XEvent event;
    XNextEvent(connection, &event);
    if (event.type != SelectionNotify) continue;
    answered = true;
    if (event.xselection.property == None) break;  // nobody owns the clipboard
    Atom type = None;
    int format = 0;
    unsigned long items = 0, left = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(connection, requestor, property, 0, LONG_MAX / 4, True, AnyPropertyType, &type, &format,
                           &items, &left, &data) == Success &&
        data) {
      text = std::string(reinterpret_cast<const char*>(data), items);
      XFree(data);
    }
  }
  XDestroyWindow(connection, requestor);
  XCloseDisplay(connection);
  return text;
}

}  // namespace cw::test
