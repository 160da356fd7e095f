#include "UI/Application.h"

#include <algorithm>
#include <utility>

#include "Platform/RunLoop.h"
#include "UI/Button.h"
#include "UI/DialogHelperClient.h"
#include "UI/Window.h"

namespace cw::ui {

Application& Application::sharedApplication() {
  static Application application;
  return application;
}

void Application::activateIgnoringOtherApps(bool) {
  if (const auto backend = currentBackend()) backend->activate();
}

std::int64_t Application::runModalForWindow(const std::shared_ptr<Window>& window, std::function<void()> whenStopping) {
  if (const auto pending = std::exchange(pendingStop_, std::nullopt)) return *pending;
  if (!window || !window->backend()->isAlive()) return kModalResponseAbort;

  const auto session = std::make_shared<Session>();
  session->window = window;
  session->whenStopping = std::move(whenStopping);
  sessions_.push_back(session);
  const std::shared_ptr<Backend> backend = window->backend();
  backend->setEventHandler([this](const BackendEvent& event) { handleBackendEvent(event); });

  window->makeKeyAndOrderFront(nullptr);
  // A loop ended by stopAll() (an interrupt) comes back without a code, as
  // does one that found nothing scheduled in the modal mode to wait for.
  if (!session->code) RunLoop::current().run(kModalPanelRunLoopMode, session->run);
  // Ended from outside (an interrupt): what runs nested must end too.
  if (const auto stopping = std::exchange(session->whenStopping, nullptr)) stopping();

  std::erase(sessions_, session);
  // Events of an outer modal window keep being served; otherwise nobody is.
  if (sessions_.empty()) backend->setEventHandler(nullptr);
  pendingStop_.reset();
  return session->code.value_or(kModalResponseAbort);
}

void Application::stopModalWithCode(std::int64_t code) {
  if (sessions_.empty()) {
    pendingStop_ = code;
    return;
  }
  Session& session = *sessions_.back();
  if (session.code) return;  // already stopping: the first stop wins
  session.code = code;
  session.run.stop();
  if (const auto stopping = std::exchange(session.whenStopping, nullptr)) stopping();
}

std::shared_ptr<Window> Application::modalWindow() const {
  return sessions_.empty() ? nullptr : sessions_.back()->window;
}

void Application::handleBackendEvent(const BackendEvent& event) {
  if (sessions_.empty()) return;
  const std::shared_ptr<Window> window = sessions_.back()->window;
  switch (event.type) {
    case BackendEvent::Type::ButtonPressed:
      // Only the modal window is served; presses in any other are dropped.
      if (auto button = std::dynamic_pointer_cast<Button>(window->findViewWithControlId(event.control)))
        button->performClick();
      break;
    case BackendEvent::Type::WindowClosed:
      if (event.control == window->controlId()) {
        window->noteClosedByUser();
        stopModalWithCode(kModalResponseAbort);
      }
      break;
    case BackendEvent::Type::Lost:
      stopModalWithCode(kModalResponseAbort);
      break;
  }
}

namespace {

// The backend applicationLoad() made itself, so that it can tell it from one
// a test installed.
std::weak_ptr<Backend>& madeByApplicationLoad() {
  static std::weak_ptr<Backend> backend;
  return backend;
}

}  // namespace

bool applicationLoad() {
  Application::sharedApplication();
  std::shared_ptr<Backend> backend = currentBackend();
  // A helper that died or hung is not asked again: the next dialog gets a
  // fresh one, or every later crash would be refused without asking.
  const bool ownLost = backend && !backend->isAlive() && backend == madeByApplicationLoad().lock();
  if (!backend || ownLost) {
    backend = makeDefaultBackend();
    if (!backend) backend = std::make_shared<DialogHelperClient>();
    madeByApplicationLoad() = backend;
    setCurrentBackend(backend);
  }
  return backend->isAlive();
}

void applicationEndDialogSession() {
  std::shared_ptr<Backend> backend = currentBackend();
  if (!backend || backend != madeByApplicationLoad().lock()) return;
  backend->close();
  setCurrentBackend(nullptr);
  madeByApplicationLoad().reset();
}

}  // namespace cw::ui
