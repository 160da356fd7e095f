#include "UI/HelperProcess.h"

#include <fcntl.h>
#include <sys/socket.h>

#include <utility>

#include "Platform/ChildReaper.h"

namespace cw::ui {

SystemResult<HelperProcess> HelperProcess::spawn(const std::string& path, const std::vector<std::string>& arguments,
                                                 int childFd) {
  int ends[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return SystemError::last();
  UniqueFd ours(ends[0]);
  UniqueFd theirs(ends[1]);
  const int flags = ::fcntl(ours.get(), F_GETFL);
  if (flags < 0 || ::fcntl(ours.get(), F_SETFL, flags | O_NONBLOCK) != 0) return SystemError::last();

  ChildProcess::Options options;
  options.descriptors = {{theirs.get(), childFd}};
  SystemResult<ChildProcess> child = ChildProcess::spawn(path, ChildProcess::argumentVector(path, arguments), options);
  if (!child) return SystemError(child.error());
  return HelperProcess(std::move(ours), std::move(*child));
}

HelperProcess& HelperProcess::operator=(HelperProcess&& other) noexcept {
  if (this != &other) {
    terminate();
    socket_ = std::move(other.socket_);
    child_ = std::move(other.child_);
  }
  return *this;
}

void HelperProcess::letGo(std::chrono::milliseconds grace) {
  socket_.reset();
  ChildReaper::current().killUnlessDoneWithin(std::move(child_), grace);
}

std::optional<int> HelperProcess::terminate() {
  socket_.reset();
  child_.terminate();
  return child_.waitStatus();
}

}  // namespace cw::ui
