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

void LayoutOwner::didChangeValueForKey(std::string_view key) {
  // Copy first: an observer may remove itself or others while being told.
  std::vector<std::function<void()>> callbacks;
  for (const Observer& o : observers_)
    if (o.key == key) callbacks.push_back(o.callback);
  for (auto& callback : callbacks) callback();
}

}  // namespace cw::ui
