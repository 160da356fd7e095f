#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "UI/LayoutOwner.h"

namespace cw::ui {

class TextField;

// Binds a text field's displayed value to a key of a layout owner: the field
// shows the key's value at once and again after every change the owner
// announces. An absent value shows as empty text. The binding belongs to the
// field and stops observing when the field goes; it keeps neither the field
// nor the owner alive.
class ValueBinding {
  struct CreationToken {
    explicit CreationToken() = default;
  };

public:
  // Installs the binding on `field` (which must be held by a shared_ptr) and
  // shows the current value.
  static void bind(TextField& field, const std::shared_ptr<LayoutOwner>& owner, std::string_view key);

  ValueBinding(const ValueBinding&) = delete;
  ValueBinding& operator=(const ValueBinding&) = delete;
  ~ValueBinding();

  const std::string& key() const { return key_; }

  ValueBinding(CreationToken, std::weak_ptr<LayoutOwner> owner, std::string key, LayoutOwner::ObserverToken token)
      : owner_(std::move(owner)), key_(std::move(key)), token_(token) {}

private:
  std::weak_ptr<LayoutOwner> owner_;
  std::string key_;
  LayoutOwner::ObserverToken token_;
};

}  // namespace cw::ui
