#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "Platform/SystemResult.h"

namespace cw {

enum class FileReadStatus { Ok, Missing, NotAFile, Unreadable, TooLarge };

// What became of the file; `error` tells why when the system refused it
// (Missing, Unreadable, and NotAFile where the open already failed).
struct FileReadResult {
  FileReadStatus status = FileReadStatus::Unreadable;
  std::string bytes;  // the whole file when Ok
  std::optional<SystemError> error;
};

// Reads a regular file whole, at most `maxSize` bytes. A FIFO, device or
// folder in the file's place is refused without blocking; a file that grows
// past the bound while it is read counts as too large.
FileReadResult readRegularFile(const std::string& path, std::size_t maxSize);

}  // namespace cw
