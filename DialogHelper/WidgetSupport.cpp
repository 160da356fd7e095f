#include "WidgetSupport.h"

#include <cstdint>

namespace cw::dialog {
namespace {

constexpr const char* kControlKey = "cw-control";

}  // namespace

void tagWidget(GtkWidget* widget, ui::ControlId control) {
  g_object_set_data(G_OBJECT(widget), kControlKey, reinterpret_cast<gpointer>(static_cast<std::uintptr_t>(control)));
}

ui::ControlId controlOf(gpointer widget) {
  return static_cast<ui::ControlId>(reinterpret_cast<std::uintptr_t>(g_object_get_data(G_OBJECT(widget), kControlKey)));
}

std::string keyEquivalentOf(const GdkEventKey* event) {
  constexpr guint kCommandModifiers = GDK_CONTROL_MASK | GDK_MOD1_MASK | GDK_SUPER_MASK | GDK_META_MASK;
  if (event->state & kCommandModifiers) return {};
  switch (event->keyval) {
    case GDK_KEY_Return:
    case GDK_KEY_KP_Enter:
    case GDK_KEY_ISO_Enter:
      return "\r";
    case GDK_KEY_Escape:
      return "\x1b";
    default:
      break;
  }
  const gunichar character = gdk_keyval_to_unicode(event->keyval);
  if (character < 0x20 || character == 0x7f) return {};
  char utf8[8] = {};
  const gint length = g_unichar_to_utf8(character, utf8);
  return std::string(utf8, static_cast<std::size_t>(length));
}

void markDefaultButton(GtkWidget* button, bool isDefault) {
  GtkStyleContext* style = gtk_widget_get_style_context(button);
  GtkWidget* toplevel = gtk_widget_get_toplevel(button);
  GtkWindow* window = GTK_IS_WINDOW(toplevel) ? GTK_WINDOW(toplevel) : nullptr;
  if (isDefault) {
    gtk_widget_set_can_default(button, TRUE);
    gtk_style_context_add_class(style, GTK_STYLE_CLASS_SUGGESTED_ACTION);
    if (window) gtk_window_set_default(window, button);
    return;
  }
  gtk_style_context_remove_class(style, GTK_STYLE_CLASS_SUGGESTED_ACTION);
  if (window && gtk_window_get_default_widget(window) == button) gtk_window_set_default(window, nullptr);
}

}  // namespace cw::dialog
