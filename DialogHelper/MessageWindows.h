#pragma once

#include <gtk/gtk.h>

#include "UI/Controls.h"

// Windows the helper lays out itself, unlike the agent's dialog window: the
// message window (a message, a selectable line, one button) and the progress
// window (a message, a moving progress bar, a Stop button). Both come back
// built but not shown; whoever adopts them connects the window and the button.
namespace cw::dialog {

struct MessageWindow {
  GtkWidget* window = nullptr;  // floating: the caller takes it
  GtkWidget* button = nullptr;
};

MessageWindow messageWindowNew(const ui::MessagePanel& panel);
// The bar moves by itself for as long as it exists.
MessageWindow progressWindowNew(const ui::ProgressPanel& panel);

}  // namespace cw::dialog
