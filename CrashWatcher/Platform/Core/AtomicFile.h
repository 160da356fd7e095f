#pragma once

#include <string>
#include <string_view>

#include "Platform/SystemResult.h"

namespace cw {

// Replaces the file at `path` by `bytes` as a whole: written to a temporary
// file beside it (mode 0600), synced, renamed over it, and the folder synced,
// so that a crash or a full disk leaves the old file or the new one, never a
// part. `folderFd`, when given, is the folder's open descriptor.
SystemResult<void> writeFileAtomically(const std::string& path, std::string_view bytes, int folderFd = -1);

// Renames an unusable file to "<path>.corrupt-<UTC time>", never over an
// earlier one; the new name.
SystemResult<std::string> moveFileAside(const std::string& path);

}  // namespace cw
