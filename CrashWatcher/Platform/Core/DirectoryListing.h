#pragma once

#include <optional>
#include <string>
#include <vector>

#include "Platform/SystemResult.h"

namespace cw {

struct DirectoryEntry {
  std::string name;
  bool isFolder = false;  // a real folder: a symbolic link to one is not
};

// The entries of one folder ("." and ".." left out) in the platform's order,
// read whole, so that its descriptor is closed again before the caller goes
// deeper. `error` tells why the folder could not be opened or read to its end
// (what was read before still counts); absent when the listing is complete.
struct DirectoryListing {
  std::vector<DirectoryEntry> entries;
  std::optional<SystemError> error;
};

DirectoryListing listDirectory(const std::string& folder);

}  // namespace cw
