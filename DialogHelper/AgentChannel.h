#pragma once

#include <glib.h>

#include <functional>
#include <string>

#include "Platform/UniqueFd.h"
#include "UI/HelperProtocol.h"

namespace cw::dialog {

// The helper's end of the socket to the agent, served by the GLib main loop.
// Lines that do not decode are dropped: the agent is never answered with a
// crash. The agent closing its end, or the socket failing, ends the channel.
class AgentChannel {
public:
  explicit AgentChannel(int fd);
  ~AgentChannel();
  AgentChannel(const AgentChannel&) = delete;
  AgentChannel& operator=(const AgentChannel&) = delete;

  void setRequestHandler(std::function<void(const ui::protocol::Request&)> handler) { onRequest_ = std::move(handler); }
  void setClosedHandler(std::function<void()> handler) { onClosed_ = std::move(handler); }

  // Queues the reply and writes what the socket takes now; the rest follows
  // when it becomes writable.
  void send(const ui::protocol::Reply& reply);
  // Writes everything queued, waiting for the socket if need be (before exit).
  void flush();

private:
  static gboolean onReadable(gint fd, GIOCondition condition, gpointer self);
  static gboolean onWritable(gint fd, GIOCondition condition, gpointer self);
  bool readAvailable();
  // false when the socket is broken.
  bool writeQueued();
  void close();

  UniqueFd fd_;
  guint readWatch_ = 0;
  guint writeWatch_ = 0;
  ui::protocol::LineBuffer lines_;
  std::string outbox_;
  std::function<void(const ui::protocol::Request&)> onRequest_;
  std::function<void()> onClosed_;
};

}  // namespace cw::dialog
