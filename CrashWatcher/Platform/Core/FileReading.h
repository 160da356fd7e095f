#pragma once

#include <cstddef>
#include <string>

namespace cw {

enum class FileReadStatus { Ok, Missing, NotAFile, Unreadable, TooLarge };

struct FileReadResult {
  FileReadStatus status = FileReadStatus::Unreadable;
  std::string bytes;  // the whole file when Ok
};

// Reads a regular file whole, at most `maxSize` bytes. A FIFO, device or
// folder in the file's place is refused without blocking; a file that grows
// past the bound while it is read counts as too large.
FileReadResult readRegularFile(const std::string& path, std::size_t maxSize);

}  // namespace cw
