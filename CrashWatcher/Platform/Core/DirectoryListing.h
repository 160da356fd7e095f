#pragma once

#include <string>
#include <vector>

namespace cw {

struct DirectoryEntry {
  std::string name;
  bool isFolder = false;  // a real folder: a symbolic link to one is not
};

// The entries of one folder ("." and ".." left out) in the platform's order,
// read whole, so that its descriptor is closed again before the caller goes
// deeper. `error` is the errno of a failure to open the folder or to read it
// to its end (what was read before still counts); 0 when complete.
struct DirectoryListing {
  std::vector<DirectoryEntry> entries;
  int error = 0;
};

DirectoryListing listDirectory(const std::string& folder);

}  // namespace cw
