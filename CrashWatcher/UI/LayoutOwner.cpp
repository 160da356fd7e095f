#include "UI/LayoutOwner.h"

#include <algorithm>

namespace cw::ui {

LayoutOwner::ObserverToken LayoutOwner::addObserverForKey(std::string_view key, std::function<void()> callback) {
  const ObserverToken token = nextToken_++;
  observers_.push_back(Observer{token, std::string(key), std::move(callback)});
  return token;
}

void LayoutOwner::removeObserver(ObserverToken token) {
  std::erase_if(observers_, [token](const Observer& o) { return o.token == token; });
}

std::size_t LayoutOwner::observerCount(std::string_view key) const {
  return static_cast<std::size_t>(
      std::count_if(observers_.begin(), observers_.end(), [key](const Observer& o) { return o.key == key; }));
}

void LayoutOwner::didChangeValueForKey(std::string_view key) {
  // Copy first: an observer may remove itself or others while being told.
  std::vector<std::function<void()>> callbacks;
  for (const Observer& o : observers_)
    if (o.key == key) callbacks.push_back(o.callback);
  for (auto& callback : callbacks) callback();
}

}  // namespace cw::ui
