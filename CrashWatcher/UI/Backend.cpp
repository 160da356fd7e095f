#include "UI/Backend.h"

#include <utility>

#include "Platform/RunLoop.h"

namespace cw::ui {
namespace {

// Main thread only, like every user-interface call. Backends hold sources of
// the thread's run loop, which is destroyed when the thread ends, before any
// static object: so the storage is thread-local and made after the loop, and
// goes first.
std::shared_ptr<Backend>& currentBackendStorage() {
  RunLoop::current();
  thread_local std::shared_ptr<Backend> backend;
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
