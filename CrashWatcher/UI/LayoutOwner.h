#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/Object.h"

namespace cw::ui {

// The object a layout is loaded for: the loader fills its outlets by name,
// sends it the controls' actions by selector name, and binds controls to its
// keys (key-value observing).
class LayoutOwner {
public:
  using ObserverToken = std::uint64_t;

  virtual ~LayoutOwner() = default;

  // false when the owner has no outlet of that name or the object does not fit it.
  virtual bool connectOutlet(std::string_view name, const std::shared_ptr<Object>& object) = 0;
  // Sends an action such as "sendReport:"; false when the owner has none of that name.
  virtual bool performAction(std::string_view selector, const std::shared_ptr<Object>& sender) = 0;
  // Whether the owner answers to an action of that name.
  virtual bool respondsToAction(std::string_view selector) const = 0;
  // The value of a bindable key; absent when unset or unknown.
  virtual std::optional<std::string> stringValueForKey(std::string_view key) const = 0;

  // Observers of a key learn of every change of its value.
  ObserverToken addObserverForKey(std::string_view key, std::function<void()> callback);
  void removeObserver(ObserverToken token);
  // How many observers the key has (bindings of controls still alive).
  std::size_t observerCount(std::string_view key) const;

protected:
  void didChangeValueForKey(std::string_view key);

private:
  struct Observer {
    ObserverToken token;
    std::string key;
    std::function<void()> callback;
  };
  std::vector<Observer> observers_;
  ObserverToken nextToken_ = 1;
};

}  // namespace cw::ui
