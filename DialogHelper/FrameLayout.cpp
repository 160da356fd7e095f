#include "FrameLayout.h"

#include <algorithm>

namespace {

struct FrameLayout {
  GtkFixed parent;
};
struct FrameLayoutClass {
  GtkFixedClass parentClass;
};

GType frameLayoutType();

// The container's own size is all it asks for: gtk_widget_get_preferred_*
// adds the size request that holds the frame.
void preferredNothing(GtkWidget* /*widget*/, gint* minimum, gint* natural) {
  *minimum = *natural = 0;
}

void preferredNothingForSize(GtkWidget* /*widget*/, gint /*size*/, gint* minimum, gint* natural) {
  *minimum = *natural = 0;
}

void allocateFrames(GtkWidget* widget, GtkAllocation* allocation) {
  gtk_widget_set_allocation(widget, allocation);
  GList* children = gtk_container_get_children(GTK_CONTAINER(widget));
  for (GList* item = children; item; item = item->next) {
    auto* child = static_cast<GtkWidget*>(item->data);
    if (!gtk_widget_get_visible(child)) continue;
    gint x = 0;
    gint y = 0;
    gtk_container_child_get(GTK_CONTAINER(widget), child, "x", &x, "y", &y, nullptr);
    gint width = 0;
    gint height = 0;
    gtk_widget_get_size_request(child, &width, &height);
    // GTK wants every child measured before it is allocated.
    GtkRequisition measured{};
    gtk_widget_get_preferred_size(child, &measured, nullptr);
    // A child without a window draws in ours, so its place counts from our
    // origin there.
    GtkAllocation frame{allocation->x + x, allocation->y + y, std::max(width, 1), std::max(height, 1)};
    gtk_widget_size_allocate(child, &frame);
  }
  g_list_free(children);
}

void frameLayoutClassInit(gpointer klass, gpointer /*data*/) {
  auto* widgetClass = GTK_WIDGET_CLASS(klass);
  widgetClass->get_preferred_width = preferredNothing;
  widgetClass->get_preferred_height = preferredNothing;
  widgetClass->get_preferred_width_for_height = preferredNothingForSize;
  widgetClass->get_preferred_height_for_width = preferredNothingForSize;
  widgetClass->size_allocate = allocateFrames;
}

GType frameLayoutType() {
  static GType type = 0;
  if (type == 0) {
    GTypeInfo info{};
    info.class_size = sizeof(FrameLayoutClass);
    info.class_init = frameLayoutClassInit;
    info.instance_size = sizeof(FrameLayout);
    type = g_type_register_static(GTK_TYPE_FIXED, "CwFrameLayout", &info, GTypeFlags(0));
  }
  return type;
}

}  // namespace

namespace cw::dialog {

GtkWidget* frameLayoutNew() {
  return GTK_WIDGET(g_object_new(frameLayoutType(), nullptr));
}

}  // namespace cw::dialog
