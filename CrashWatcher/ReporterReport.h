#pragma once

#include <optional>
#include <string>

namespace cw {

// Where readVellumdriftVersion finds the installed product's property list:
// the path fixed in the build, unless a test put another in place.
std::string vellumdriftInfoPlistPath();
// Tests only: another path, or absent to go back to the build-fixed one.
void setVellumdriftInfoPlistPathForTesting(std::optional<std::string> path);

}  // namespace cw
