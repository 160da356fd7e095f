// Xlib stays in this file: its macros (None, Bool, Status) collide with
// everything else.
#include <X11/Xlib.h>

#include <cstdlib>
#include <string>

namespace cw::test {

bool requestWindowClose(const std::string& display, const std::string& window) {
  Display* connection = XOpenDisplay(display.c_str());
  if (!connection) return false;
  const Window target = std::strtoul(window.c_str(), nullptr, 10);
  XEvent event{};
  event.xclient.type = ClientMessage;
  event.xclient.window = target;
  event.xclient.message_type = XInternAtom(connection, "WM_PROTOCOLS", False);
  event.xclient.format = 32;
  event.xclient.data.l[0] = static_cast<long>(XInternAtom(connection, "WM_DELETE_WINDOW", False));
  event.xclient.data.l[1] = CurrentTime;
  const bool sent = XSendEvent(connection, target, False, NoEventMask, &event) != 0;
  XSync(connection, False);
  XCloseDisplay(connection);
  return sent;
}

}  // namespace cw::test
