#pragma once

#include <gtk/gtk.h>

#include <string>

#include "UI/Controls.h"

// What the dialog window and the message windows share: which control a
// widget stands for, the keys that press buttons, and the default button.
namespace cw::dialog {

// Marks `widget` as standing for `control`; controlOf() reads it back (0 for
// an unmarked widget).
void tagWidget(GtkWidget* widget, ui::ControlId control);
ui::ControlId controlOf(gpointer widget);

// The key a press stands for, spelled as the agent spells key equivalents
// ("\r", "\x1b", a character); empty for keys that cannot be one.
std::string keyEquivalentOf(const GdkEventKey* event);

// The button that Return presses looks like it, as the default button.
void markDefaultButton(GtkWidget* button, bool isDefault);

}  // namespace cw::dialog
