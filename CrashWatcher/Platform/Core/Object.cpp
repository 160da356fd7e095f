#include "Platform/Object.h"

#include <cstdio>
#include <typeinfo>

namespace cw {

std::string Object::description() const {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "<object %p>", static_cast<const void*>(this));
  return buffer;
}

}  // namespace cw
