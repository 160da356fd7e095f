#pragma once

#include <gtk/gtk.h>

namespace cw::dialog {

// A GtkFixed that lays its children out as the agent does: each child gets
// exactly the size of its frame (its size request) at its position, whatever
// its text would rather have, and the container asks for no more than its own
// frame. A plain GtkFixed would grow to fit every child's one-line natural
// width, and with it the window.
GtkWidget* frameLayoutNew();

}  // namespace cw::dialog
