#include "UI/ValueBinding.h"

#include "UI/TextField.h"

namespace cw::ui {
namespace {

void showValue(TextField& field, const LayoutOwner& owner, std::string_view key) {
  field.setStringValue(owner.stringValueForKey(key).value_or(std::string()));
}

}  // namespace

void ValueBinding::bind(TextField& field, const std::shared_ptr<LayoutOwner>& owner, std::string_view key) {
  if (!owner) return;
  const std::weak_ptr<TextField> weakField = std::static_pointer_cast<TextField>(field.shared_from_this());
  const std::weak_ptr<LayoutOwner> weakOwner = owner;
  const std::string boundKey(key);
  const LayoutOwner::ObserverToken token = owner->addObserverForKey(key, [weakField, weakOwner, boundKey] {
    const auto liveField = weakField.lock();
    const auto liveOwner = weakOwner.lock();
    if (liveField && liveOwner) showValue(*liveField, *liveOwner, boundKey);
  });
  field.setValueBinding(std::make_unique<ValueBinding>(CreationToken{}, weakOwner, boundKey, token));
  showValue(field, *owner, key);
}

ValueBinding::~ValueBinding() {
  // An owner being destroyed has expired already and takes its observers along.
  if (const auto owner = owner_.lock()) owner->removeObserver(token_);
}

}  // namespace cw::ui
