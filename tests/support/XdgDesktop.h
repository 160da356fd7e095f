#pragma once

// A desktop for xdg-open of the test's own making.
#include <string>

#include "support/TestSupport.h"

namespace cw::test {

// xdg-open in its generic desktop mode (it asks xdg-mime) over temporary XDG
// folders, for the scope: no program is set up for mailto: links until one
// is registered, and `browser` is the only browser it falls back to (by
// default one that fails, so that with no handler it ends with status 3).
class GenericXdgDesktop {
public:
  explicit GenericXdgDesktop(const std::string& browser = "/bin/false") : browser_("BROWSER", browser.c_str()) {
    for (const char* folder : {"data/applications", "config", "system", "runtime"}) makeDirectories(xdg_ / folder);
  }

  // `program` gets the URL as its one argument.
  void registerMailHandler(const std::string& program) const {
    writeFile(xdg_ / "data/applications/cw-record-mail.desktop",
              "[Desktop Entry]\nType=Application\nName=Record mail\nExec=" + program +
                  " %u\nMimeType=x-scheme-handler/mailto;\n");
    writeFile(xdg_ / "config/mimeapps.list",
              "[Default Applications]\nx-scheme-handler/mailto=cw-record-mail.desktop\n");
  }

  std::string operator/(std::string_view relative) const { return xdg_ / relative; }

private:
  TempDir xdg_;
  ScopedEnv dataHome_{"XDG_DATA_HOME", (xdg_ / "data").c_str()};
  ScopedEnv configHome_{"XDG_CONFIG_HOME", (xdg_ / "config").c_str()};
  ScopedEnv dataDirs_{"XDG_DATA_DIRS", (xdg_ / "system").c_str()};
  ScopedEnv configDirs_{"XDG_CONFIG_DIRS", (xdg_ / "system").c_str()};
  ScopedEnv runtime_{"XDG_RUNTIME_DIR", (xdg_ / "runtime").c_str()};
  // A generic desktop, so that xdg-open asks xdg-mime; it wants a display named.
  ScopedEnv desktop_{"XDG_CURRENT_DESKTOP", "X-Generic"};
  ScopedEnv session_{"DESKTOP_SESSION", nullptr};
  ScopedEnv display_{"DISPLAY", ":cw-test"};
  ScopedEnv wayland_{"WAYLAND_DISPLAY", nullptr};
  ScopedEnv browser_;
};

}  // namespace cw::test
