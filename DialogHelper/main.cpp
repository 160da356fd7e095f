// crashwatcher-dialog: draws the agent's consent dialog with GTK 3. The agent
// starts one for each dialog and speaks to it over the socket it finds at the
// descriptor named by --fd; the helper ends when the agent closes its end.

#include <fcntl.h>
#include <gtk/gtk.h>
#include <signal.h>

#include <charconv>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string_view>

#include "AgentChannel.h"
#include "UI/HelperProtocol.h"
#include "WidgetTree.h"

namespace {

// Exit statuses besides 0, the agent having let go.
constexpr int kExitNoDisplay = 2;
constexpr int kExitUsage = 64;

std::optional<int> socketFdFromArguments(int argc, char** argv) {
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::string_view(argv[i]) != "--fd") continue;
    const std::string_view value(argv[i + 1]);
    int fd = -1;
    const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), fd);
    if (error != std::errc() || end != value.data() + value.size() || fd < 0) return std::nullopt;
    if (::fcntl(fd, F_GETFD) < 0) return std::nullopt;
    return fd;
  }
  return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
  const auto fd = socketFdFromArguments(argc, argv);
  if (!fd) {
    std::fprintf(stderr, "crashwatcher-dialog: usage: crashwatcher-dialog --fd N (N an open socket to the agent)\n");
    return kExitUsage;
  }
  // The agent may have gone by the time we write; that is a closed channel.
  ::signal(SIGPIPE, SIG_IGN);
  g_set_prgname("crashwatcher-dialog");

  cw::dialog::AgentChannel channel(*fd);
  // GTK computes this mask, on first need, from the keyboard of the display's
  // default seat. A Wayland compositor may offer no seat at all (headless,
  // kiosk), and GDK then fails an assertion instead; the mask is the same on
  // every GDK backend, so it is given here and never looked up.
  gtk_accelerator_set_default_mod_mask(static_cast<GdkModifierType>(GDK_SHIFT_MASK | GDK_CONTROL_MASK | GDK_MOD1_MASK |
                                                                    GDK_SUPER_MASK | GDK_HYPER_MASK | GDK_META_MASK));
  if (!gtk_init_check(nullptr, nullptr)) {
    std::fprintf(stderr, "crashwatcher-dialog: cannot open display\n");
    cw::ui::protocol::Reply failed;
    failed.type = cw::ui::protocol::Reply::Type::Failed;
    failed.reason = "cannot open display";
    channel.send(failed);
    channel.flush();
    return kExitNoDisplay;
  }

  cw::dialog::WidgetTree tree([&channel](const cw::ui::protocol::Reply& reply) { channel.send(reply); });
  channel.setRequestHandler([&tree](const cw::ui::protocol::Request& request) { tree.apply(request); });
  // The agent may let go before the main loop runs (even while we greet it);
  // quitting a loop not yet entered would leave us waiting in it for ever.
  bool agentGone = false;
  channel.setClosedHandler([&agentGone] {
    agentGone = true;
    if (gtk_main_level() > 0) gtk_main_quit();
  });

  cw::ui::protocol::Reply ready;
  ready.type = cw::ui::protocol::Reply::Type::Ready;
  channel.send(ready);
  if (!agentGone) gtk_main();
  return 0;
}
