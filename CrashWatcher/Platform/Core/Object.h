#pragma once

#include <memory>
#include <string>

namespace cw {

// The root of every reference-counted object that can stand behind a "%@"
// conversion. Objects are held by std::shared_ptr; absent is nullptr.
class Object {
public:
  virtual ~Object() = default;

  // Text that "%@" inserts for this object.
  virtual std::string description() const;
};

using ObjectPtr = std::shared_ptr<const Object>;

}  // namespace cw
