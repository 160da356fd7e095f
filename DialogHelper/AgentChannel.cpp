#include "AgentChannel.h"

#include <fcntl.h>
#include <glib-unix.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

namespace cw::dialog {
namespace {

// An agent that stops reading for good should not make the helper grow
// without bound; past this, new replies are dropped.
constexpr std::size_t kMaxOutbox = 1024 * 1024;

}  // namespace

AgentChannel::AgentChannel(int fd) : fd_(fd) {
  // Nothing GTK starts may inherit the socket, and reads must never block the
  // user interface.
  ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  readWatch_ =
      g_unix_fd_add(fd, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR), &AgentChannel::onReadable, this);
}

AgentChannel::~AgentChannel() {
  if (readWatch_) g_source_remove(readWatch_);
  if (writeWatch_) g_source_remove(writeWatch_);
}

void AgentChannel::send(const ui::protocol::Reply& reply) {
  if (!fd_) return;
  const std::string line = ui::protocol::encode(reply);
  if (outbox_.size() + line.size() > kMaxOutbox) return;
  outbox_ += line;
  if (writeWatch_) return;  // already waiting for room
  if (!writeQueued()) {
    close();
    return;
  }
  if (!outbox_.empty()) writeWatch_ = g_unix_fd_add(fd_.get(), G_IO_OUT, &AgentChannel::onWritable, this);
}

void AgentChannel::flush() {
  while (fd_ && !outbox_.empty()) {
    if (!writeQueued()) return;
    if (outbox_.empty()) return;
    pollfd entry{fd_.get(), POLLOUT, 0};
    const int ready = ::poll(&entry, 1, 1000);
    if (ready == 0 || (ready < 0 && errno != EINTR)) return;
  }
}

bool AgentChannel::writeQueued() {
  while (!outbox_.empty()) {
    // MSG_NOSIGNAL: an agent that went away is a closed channel, not a signal.
    const ssize_t written = ::send(fd_.get(), outbox_.data(), outbox_.size(), MSG_NOSIGNAL);
    if (written > 0) {
      outbox_.erase(0, static_cast<std::size_t>(written));
      continue;
    }
    if (written < 0 && errno == EINTR) continue;
    if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
    return false;
  }
  return true;
}

gboolean AgentChannel::onWritable(gint /*fd*/, GIOCondition /*condition*/, gpointer self) {
  auto* channel = static_cast<AgentChannel*>(self);
  if (!channel->writeQueued()) {
    channel->writeWatch_ = 0;
    channel->close();
    return G_SOURCE_REMOVE;
  }
  if (!channel->outbox_.empty()) return G_SOURCE_CONTINUE;
  channel->writeWatch_ = 0;
  return G_SOURCE_REMOVE;
}

gboolean AgentChannel::onReadable(gint /*fd*/, GIOCondition /*condition*/, gpointer self) {
  auto* channel = static_cast<AgentChannel*>(self);
  const bool open = channel->readAvailable();
  while (auto line = channel->lines_.nextLine()) {
    const auto request = ui::protocol::decodeRequest(*line);
    if (request && channel->onRequest_) channel->onRequest_(*request);
    if (!channel->fd_) return G_SOURCE_REMOVE;  // a reply found the socket broken
  }
  if (open) return G_SOURCE_CONTINUE;
  channel->readWatch_ = 0;
  channel->close();
  return G_SOURCE_REMOVE;
}

bool AgentChannel::readAvailable() {
  char buffer[16 * 1024];
  // Bounded per call so that the user interface keeps being served; GLib
  // calls again while the socket stays readable.
  for (int round = 0; round < 4; ++round) {
    const ssize_t got = ::recv(fd_.get(), buffer, sizeof buffer, 0);
    if (got > 0) {
      lines_.append(std::string_view(buffer, static_cast<std::size_t>(got)));
      continue;
    }
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
    return false;
  }
  return true;
}

void AgentChannel::close() {
  if (readWatch_) g_source_remove(readWatch_);
  if (writeWatch_) g_source_remove(writeWatch_);
  readWatch_ = 0;
  writeWatch_ = 0;
  fd_.reset();
  outbox_.clear();
  if (onClosed_) onClosed_();
}

}  // namespace cw::dialog
