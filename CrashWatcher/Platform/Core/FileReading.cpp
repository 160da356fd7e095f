#include "Platform/FileReading.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include "Platform/UniqueFd.h"

namespace cw {

FileReadResult readRegularFile(const std::string& path, std::size_t maxSize) {
  FileReadResult result;
  // O_NONBLOCK so that a FIFO in the file's place cannot hang the caller.
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (!fd) {
    result.error = SystemError::last();
    const int error = result.error->code();
    result.status = error == ENOENT || error == ENOTDIR ? FileReadStatus::Missing
                    : error == ENXIO                    ? FileReadStatus::NotAFile
                                                        : FileReadStatus::Unreadable;
    return result;
  }
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) {
    result.error = SystemError::last();
    return result;
  }
  if (!S_ISREG(info.st_mode)) {
    result.status = FileReadStatus::NotAFile;
    return result;
  }
  if (static_cast<std::uint64_t>(info.st_size) > maxSize) {
    result.status = FileReadStatus::TooLarge;
    return result;
  }
  // The size is only a hint: the file may grow while it is read, so the read
  // itself stops one byte past the limit.
  std::string& bytes = result.bytes;
  bytes.resize(static_cast<std::size_t>(info.st_size) + 1);
  std::size_t used = 0;
  while (true) {
    if (used == bytes.size()) {
      if (bytes.size() > maxSize) break;
      bytes.resize(std::min(bytes.size() * 2 + 4096, maxSize + 1));
    }
    const ssize_t n = ::read(fd.get(), bytes.data() + used, bytes.size() - used);
    if (n < 0) {
      if (errno == EINTR) continue;
      result.error = SystemError::last();
      bytes.clear();
      return result;
    }
    if (n == 0) break;
    used += static_cast<std::size_t>(n);
  }
  if (used > maxSize) {
    bytes.clear();
    result.status = FileReadStatus::TooLarge;
    return result;
  }
  bytes.resize(used);
  result.status = FileReadStatus::Ok;
  return result;
}

}  // namespace cw
