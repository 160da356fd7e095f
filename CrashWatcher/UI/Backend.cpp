#include "UI/Backend.h"

#include <utility>

namespace cw::ui {
namespace {

// Main thread only, like every user-interface call.
std::shared_ptr<Backend>& currentBackendStorage() {
  static std::shared_ptr<Backend> backend;
  return backend;
}

BackendFactory& defaultFactoryStorage() {
  static BackendFactory factory;
  return factory;
}

}  // namespace

std::shared_ptr<Backend> currentBackend() {
  return currentBackendStorage();
}

void setCurrentBackend(std::shared_ptr<Backend> backend) {
  currentBackendStorage() = std::move(backend);
}

void setDefaultBackendFactory(BackendFactory factory) {
  defaultFactoryStorage() = std::move(factory);
}

std::shared_ptr<Backend> makeDefaultBackend() {
  const BackendFactory& factory = defaultFactoryStorage();
  return factory ? factory() : nullptr;
}

}  // namespace cw::ui
