#include "Platform/AtomicFile.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>

#include "Platform/Posix.h"
#include "Platform/UniqueFd.h"

namespace cw {
namespace {

// Removes a temporary file unless it was renamed into place.
class TemporaryFile {
public:
  explicit TemporaryFile(std::string path) : path_(std::move(path)) {}
  ~TemporaryFile() {
    if (!committed_) ::unlink(path_.c_str());
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  const std::string& path() const { return path_; }
  void commit() { committed_ = true; }

private:
  std::string path_;
  bool committed_ = false;
};

std::string folderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

SystemResult<void> writeFileAtomically(const std::string& path, std::string_view bytes, int folderFd) {
  std::string pattern = path + ".tmp-XXXXXX";
  UniqueFd fd(::mkostemp(pattern.data(), O_CLOEXEC));
  if (!fd) return SystemError::last();
  TemporaryFile temporary(pattern);
  if (SystemResult<void> written = posix::writeAll(fd.get(), bytes); !written) return written;
  if (::fsync(fd.get()) != 0) return SystemError::last();
  if (::close(fd.release()) != 0) return SystemError::last();
  if (::rename(temporary.path().c_str(), path.c_str()) != 0) return SystemError::last();
  temporary.commit();
  // The rename is durable only once the folder is on disk too.
  if (folderFd >= 0)
    ::fsync(folderFd);
  else if (UniqueFd folder(::open(folderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)); folder)
    ::fsync(folder.get());
  return {};
}

SystemResult<std::string> moveFileAside(const std::string& path) {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  ::gmtime_r(&now, &utc);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &utc);
  const std::string base = path + ".corrupt-" + stamp;
  for (int attempt = 0; attempt < 1000; ++attempt) {
    const std::string target = attempt == 0 ? base : base + "-" + std::to_string(attempt);
    if (::renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) return target;
    if (errno == EEXIST) continue;
    if (errno != EINVAL && errno != ENOSYS) return SystemError::last();
    // The file system cannot refuse to replace: check first.
    struct stat info {};
    if (::lstat(target.c_str(), &info) == 0) continue;
    if (::rename(path.c_str(), target.c_str()) == 0) return target;
    return SystemError::last();
  }
  return SystemError(EEXIST);
}

}  // namespace cw
