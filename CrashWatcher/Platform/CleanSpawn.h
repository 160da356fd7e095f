#pragma once

#include <sys/types.h>

#include <optional>
#include <span>
#include <string>
#include <vector>

namespace cw {

// One of our descriptors that the child gets under the number `child`.
struct ChildDescriptor {
  int ours;
  int child;
};

// Starts a child the way every child of the agent starts: default signal
// dispositions (we ignore some), an empty signal mask, a process group of its
// own (an interrupt meant for us is ours to handle, and the group can be
// killed whole), and no descriptor of ours but 0, 1, 2 and the mapped ones,
// whatever other parts forgot to mark close-on-exec. `arguments` holds argv[0]
// first; with `searchPath` the program is looked up in PATH.
std::optional<pid_t> spawnCleanChild(const std::string& program, const std::vector<std::string>& arguments,
                                     std::span<const ChildDescriptor> descriptors = {}, bool searchPath = false);

}  // namespace cw
