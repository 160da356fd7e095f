#pragma once

#include <glib-object.h>

#include <utility>

namespace cw::dialog {

// One strong reference to a GObject, dropped on destruction. Taking a floating
// object sinks it, so the holder owns it whether or not a container also does.
template <typename T>
class GObjectRef {
public:
  GObjectRef() = default;
  explicit GObjectRef(T* object) : object_(object ? static_cast<T*>(g_object_ref_sink(object)) : nullptr) {}
  GObjectRef(GObjectRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  GObjectRef& operator=(GObjectRef&& other) noexcept {
    if (this != &other) {
      reset();
      object_ = std::exchange(other.object_, nullptr);
    }
    return *this;
  }
  GObjectRef(const GObjectRef&) = delete;
  GObjectRef& operator=(const GObjectRef&) = delete;
  ~GObjectRef() { reset(); }

  T* get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }
  void reset() {
    if (T* old = std::exchange(object_, nullptr)) g_object_unref(old);
  }

private:
  T* object_ = nullptr;
};

}  // namespace cw::dialog
