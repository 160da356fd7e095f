#include "Platform/DirectoryListing.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <string_view>

#include "Platform/UniqueFd.h"

namespace cw {

DirectoryListing listDirectory(const std::string& folder) {
  DirectoryListing listing;
  UniqueFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd) {
    listing.error = SystemError::last();
    return listing;
  }
  DIR* const stream = ::fdopendir(fd.get());
  if (!stream) {
    listing.error = SystemError::last();
    return listing;
  }
  const int dirFd = fd.release();  // closed by closedir from here on
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(stream);
    if (!entry) {
      if (errno != 0) listing.error = SystemError::last();
      break;
    }
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    bool isFolder = entry->d_type == DT_DIR;
    // Some file systems do not fill in the type.
    if (entry->d_type == DT_UNKNOWN) {
      struct stat st {};
      isFolder = ::fstatat(dirFd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
    }
    listing.entries.push_back(DirectoryEntry{std::string(name), isFolder});
  }
  ::closedir(stream);
  return listing;
}

}  // namespace cw
