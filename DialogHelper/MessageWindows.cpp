#include "MessageWindows.h"

#include <utility>

#include "WidgetSupport.h"

namespace cw::dialog {
namespace {

// A pulse this often keeps the bar visibly moving.
constexpr guint kPulseMilliseconds = 100;

// A small dialog-like window holding a column, with a row of one button at
// its end.
MessageWindow panelWindowNew(const std::string& title, const std::string& buttonTitle, GtkWidget*& column) {
  GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_type_hint(GTK_WINDOW(window), GDK_WINDOW_TYPE_HINT_DIALOG);
  gtk_window_set_title(GTK_WINDOW(window), title.c_str());
  gtk_window_set_resizable(GTK_WINDOW(window), FALSE);
  gtk_window_set_position(GTK_WINDOW(window), GTK_WIN_POS_CENTER);
  gtk_container_set_border_width(GTK_CONTAINER(window), 16);
  column = gtk_box_new(GTK_ORIENTATION_VERTICAL, 12);
  gtk_container_add(GTK_CONTAINER(window), column);
  GtkWidget* buttons = gtk_button_box_new(GTK_ORIENTATION_HORIZONTAL);
  gtk_button_box_set_layout(GTK_BUTTON_BOX(buttons), GTK_BUTTONBOX_END);
  GtkWidget* button = gtk_button_new_with_label(buttonTitle.c_str());
  gtk_container_add(GTK_CONTAINER(buttons), button);
  gtk_box_pack_end(GTK_BOX(column), buttons, FALSE, FALSE, 0);
  return MessageWindow{window, button};
}

GtkWidget* wrappingLabelNew(const std::string& text) {
  GtkWidget* label = gtk_label_new(text.c_str());
  gtk_label_set_xalign(GTK_LABEL(label), 0);
  gtk_label_set_line_wrap(GTK_LABEL(label), TRUE);
  gtk_label_set_line_wrap_mode(GTK_LABEL(label), PANGO_WRAP_WORD_CHAR);
  gtk_label_set_max_width_chars(GTK_LABEL(label), 60);
  return label;
}

gboolean pulse(gpointer bar) {
  gtk_progress_bar_pulse(GTK_PROGRESS_BAR(bar));
  return G_SOURCE_CONTINUE;
}

void stopPulsing(GtkWidget* bar, gpointer) {
  if (const auto source = GPOINTER_TO_UINT(g_object_steal_data(G_OBJECT(bar), "cw-pulse"))) g_source_remove(source);
}

}  // namespace

MessageWindow messageWindowNew(const ui::MessagePanel& panel) {
  GtkWidget* column = nullptr;
  const MessageWindow made = panelWindowNew(panel.title, panel.buttonTitle, column);
  // Both texts can be selected and copied: the address to send it on, the
  // message to quote it when asking for help.
  for (const auto& [text, emphasised] : {std::pair{&panel.message, false}, std::pair{&panel.selectableText, true}}) {
    GtkWidget* label = wrappingLabelNew(*text);
    gtk_label_set_selectable(GTK_LABEL(label), TRUE);
    if (emphasised) {
      PangoAttrList* attributes = pango_attr_list_new();
      pango_attr_list_insert(attributes, pango_attr_weight_new(PANGO_WEIGHT_BOLD));
      gtk_label_set_attributes(GTK_LABEL(label), attributes);
      pango_attr_list_unref(attributes);
    }
    gtk_box_pack_start(GTK_BOX(column), label, FALSE, FALSE, 0);
  }
  gtk_widget_show_all(column);
  markDefaultButton(made.button, true);
  gtk_widget_grab_focus(made.button);
  return made;
}

MessageWindow progressWindowNew(const ui::ProgressPanel& panel) {
  GtkWidget* column = nullptr;
  const MessageWindow made = panelWindowNew(panel.title, panel.stopTitle, column);
  gtk_box_pack_start(GTK_BOX(column), wrappingLabelNew(panel.message), FALSE, FALSE, 0);
  GtkWidget* bar = gtk_progress_bar_new();
  gtk_widget_set_size_request(bar, 320, -1);
  gtk_progress_bar_set_pulse_step(GTK_PROGRESS_BAR(bar), 0.05);
  gtk_box_pack_start(GTK_BOX(column), bar, FALSE, FALSE, 0);
  // The timer goes with the bar, whoever destroys it.
  g_object_set_data(G_OBJECT(bar), "cw-pulse", GUINT_TO_POINTER(g_timeout_add(kPulseMilliseconds, pulse, bar)));
  g_signal_connect(bar, "destroy", G_CALLBACK(stopPulsing), nullptr);
  gtk_widget_show_all(column);
  // No default button: Return must not stop what the user asked for.
  gtk_widget_grab_focus(made.button);
  return made;
}

}  // namespace cw::dialog
