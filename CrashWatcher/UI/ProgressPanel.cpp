#include "UI/ProgressPanel.h"

#include <cstdlib>
#include <utility>

#include "UI/Application.h"
#include "UI/LocalizedStrings.h"

namespace cw::ui {

std::unique_ptr<ProgressPanelSession> ProgressPanelSession::show(const ProgressPanel& panel,
                                                                 std::function<void()> onStop) {
  // The open dialog's loop owns the backend's events.
  if (Application::sharedApplication().modalWindow()) return nullptr;
  // Without a display no helper could show it: none is started for nothing.
  const auto set = [](const char* name) {
    const char* value = std::getenv(name);
    return value && *value;
  };
  if (!currentBackend() && !set("WAYLAND_DISPLAY") && !set("DISPLAY")) return nullptr;
  applicationLoad();
  const std::shared_ptr<Backend> backend = currentBackend();
  const ControlId id = backend && backend->isAlive() ? backend->showProgressPanel(panel) : 0;
  if (id == 0) {
    applicationEndDialogSession();
    return nullptr;
  }
  // Shared: backends call a copy of the handler.
  auto stop = std::make_shared<std::function<void()>>(std::move(onStop));
  backend->setEventHandler([id, stop](const BackendEvent& event) {
    // A lost backend only takes the panel away; the work is not the panel's.
    if (!*stop || event.control != id || event.type == BackendEvent::Type::Lost) return;
    const auto once = std::exchange(*stop, nullptr);
    once();
  });
  backend->activate();
  return std::unique_ptr<ProgressPanelSession>(new ProgressPanelSession(backend, id));
}

ProgressPanelSession::~ProgressPanelSession() {
  backend_->setEventHandler(nullptr);
  backend_->destroyControl(id_);
  applicationEndDialogSession();
}

ProgressPanel sendingProgressPanel() {
  return ProgressPanel{localizedStringForKey("progressTitle"), localizedStringForKey("progressMsg"),
                       localizedStringForKey("progressStopButton")};
}

}  // namespace cw::ui
