#include "WidgetTree.h"

#include <gdk/gdkwayland.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <utility>

#include "FrameLayout.h"
#include "MessageWindows.h"
#include "WidgetSupport.h"

namespace cw::dialog {
namespace {

using ui::ControlId;
using ui::ControlKind;
using ui::protocol::Reply;
using ui::protocol::Request;

// Far beyond any screen; keeps GTK's integer geometry clear of overflow.
constexpr double kMaxCoordinate = 16384;

int toPixels(double points) {
  return static_cast<int>(std::lround(std::clamp(points, -kMaxCoordinate, kMaxCoordinate)));
}
int toPixelSize(double points) {
  return static_cast<int>(std::lround(std::clamp(points, 0.0, kMaxCoordinate)));
}

guint16 colorChannel(double value) {
  return static_cast<guint16>(std::lround(std::clamp(value, 0.0, 1.0) * 65535));
}

GdkRectangle monitorGeometry() {
  GdkRectangle area{0, 0, 1024, 768};
  GdkDisplay* display = gdk_display_get_default();
  if (!display) return area;
  GdkMonitor* monitor = gdk_display_get_primary_monitor(display);
  if (!monitor && gdk_display_get_n_monitors(display) > 0) monitor = gdk_display_get_monitor(display, 0);
  if (monitor) gdk_monitor_get_geometry(monitor, &area);
  return area;
}

// The label that shows a control's text: the text field itself, or the
// label a button makes for its caption.
GtkLabel* labelOf(GtkWidget* widget, ControlKind kind) {
  if (kind == ControlKind::TextField) return GTK_LABEL(widget);
  if (kind != ControlKind::Button) return nullptr;
  GtkWidget* child = gtk_bin_get_child(GTK_BIN(widget));
  return child && GTK_IS_LABEL(child) ? GTK_LABEL(child) : nullptr;
}

GtkTextView* textViewOf(GtkWidget* widget, ControlKind kind) {
  if (kind != ControlKind::TextView) return nullptr;
  GtkWidget* child = gtk_bin_get_child(GTK_BIN(widget));
  return child && GTK_IS_TEXT_VIEW(child) ? GTK_TEXT_VIEW(child) : nullptr;
}

// A text buffer takes no NUL byte; it is shown as the symbol for one.
std::string withoutNul(const std::string& text) {
  if (text.find('\0') == std::string::npos) return text;
  std::string shown;
  for (const char c : text) {
    if (c == '\0')
      shown += "\u2400";
    else
      shown += c;
  }
  return shown;
}

// The size a widget asks for on its own, without the frame's size request.
ui::Size naturalSize(GtkWidget* widget, std::optional<double> boundsWidth) {
  int requestedWidth = -1;
  int requestedHeight = -1;
  gtk_widget_get_size_request(widget, &requestedWidth, &requestedHeight);
  gtk_widget_set_size_request(widget, -1, -1);
  ui::Size size;
  if (!boundsWidth) {
    GtkRequisition natural{};
    gtk_widget_get_preferred_size(widget, nullptr, &natural);
    size = ui::Size{double(natural.width), double(natural.height)};
  } else {
    const int width = std::max(1, toPixelSize(*boundsWidth));
    int minimumWidth = 0;
    int naturalWidth = 0;
    gtk_widget_get_preferred_width(widget, &minimumWidth, &naturalWidth);
    int minimumHeight = 0;
    int naturalHeight = 0;
    gtk_widget_get_preferred_height_for_width(widget, std::max(width, minimumWidth), &minimumHeight, &naturalHeight);
    size = ui::Size{double(std::min(naturalWidth, width)), double(naturalHeight)};
  }
  gtk_widget_set_size_request(widget, requestedWidth, requestedHeight);
  return size;
}

}  // namespace

WidgetTree::WidgetTree(ReplySink sink) : sink_(std::move(sink)) {}

WidgetTree::~WidgetTree() {
  std::vector<ControlId> windows;
  for (const auto& [id, node] : nodes_)
    if (node->kind == ControlKind::Window) windows.push_back(id);
  for (const ControlId window : windows) destroy(window);
  nodes_.clear();
}

void WidgetTree::apply(const Request& request) {
  using Op = Request::Op;
  if (request.op == Op::Create) return create(request);
  if (request.op == Op::ShowMessagePanel) return adoptPanel(request.control, messageWindowNew(request.panel), true);
  if (request.op == Op::ShowProgressPanel)
    return adoptPanel(request.control, progressWindowNew(request.progressPanel), false);
  if (request.op == Op::Measure) return measure(request);
  if (request.op == Op::Activate) return activate();
  if (request.op == Op::Destroy) return destroy(request.control);
  Node* node = find(request.control);
  if (!node) return;
  switch (request.op) {
    case Op::SetFrame:
      setFrame(*node, request.frame);
      break;
    case Op::SetText:
      setText(*node, request.text);
      break;
    case Op::AppendText:
      appendText(*node, request.text);
      break;
    case Op::SetHidden:
      if (node->kind == ControlKind::Window) break;
      if (!request.hidden) ensureTextView(*node);
      gtk_widget_set_visible(node->widget.get(), !request.hidden);
      break;
    case Op::SetTextColor:
      node->color = request.color;
      applyTextStyle(*node);
      break;
    case Op::SetKeyEquivalent:
      node->keyEquivalent = request.text;
      if (node->kind == ControlKind::Button) markDefaultButton(node->widget.get(), request.text == "\r");
      break;
    case Op::SetTextStyle:
      node->bold = request.bold;
      node->pointSize = request.pointSize;
      node->wraps = request.wraps;
      applyTextStyle(*node);
      break;
    case Op::Show:
      show(*node);
      break;
    case Op::OrderOut:
      if (node->kind == ControlKind::Window) gtk_widget_hide(node->widget.get());
      break;
    case Op::Create:
    case Op::Destroy:
    case Op::Measure:
    case Op::Activate:
    case Op::ShowMessagePanel:
    case Op::ShowProgressPanel:
      break;
  }
}

void WidgetTree::create(const Request& request) {
  if (request.control == 0 || nodes_.count(request.control)) return;
  auto node = std::make_unique<Node>();
  node->id = request.control;
  node->kind = request.kind;
  node->parent = request.parent;
  node->frame = request.frame;
  if (request.kind == ControlKind::Window) {
    if (request.parent != 0) return;
    createWindow(*node);
    nodes_.emplace(request.control, std::move(node));
    return;
  }
  Node* parent = find(request.parent);
  if (!parent || !parent->container) return;

  GtkWidget* widget = nullptr;
  switch (request.kind) {
    case ControlKind::View:
      widget = frameLayoutNew();
      node->container = widget;
      break;
    case ControlKind::TextField:
      widget = gtk_label_new(nullptr);
      gtk_label_set_xalign(GTK_LABEL(widget), 0);
      gtk_label_set_yalign(GTK_LABEL(widget), 0);
      gtk_label_set_ellipsize(GTK_LABEL(widget), PANGO_ELLIPSIZE_END);
      break;
    case ControlKind::Button:
      widget = gtk_button_new_with_label("");
      g_signal_connect(widget, "clicked", G_CALLBACK(&WidgetTree::onClicked), this);
      break;
    case ControlKind::TextView:
      // Its text view comes when it is first shown (ensureTextView).
      widget = gtk_scrolled_window_new(nullptr, nullptr);
      gtk_scrolled_window_set_shadow_type(GTK_SCROLLED_WINDOW(widget), GTK_SHADOW_IN);
      break;
    case ControlKind::Window:
      return;
  }
  node->widget = GObjectRef<GtkWidget>(widget);
  tagWidget(widget, request.control);
  gtk_widget_show(widget);
  gtk_fixed_put(GTK_FIXED(parent->container), widget, 0, 0);
  parent->children.push_back(request.control);
  Node& placed = *nodes_.emplace(request.control, std::move(node)).first->second;
  place(placed);
}

void WidgetTree::createWindow(Node& node) {
  GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  node.widget = GObjectRef<GtkWidget>(window);
  tagWidget(window, node.id);
  gtk_window_set_type_hint(GTK_WINDOW(window), GDK_WINDOW_TYPE_HINT_DIALOG);
  GtkWidget* content = frameLayoutNew();
  gtk_container_add(GTK_CONTAINER(window), content);
  gtk_widget_show(content);
  node.container = content;
  g_signal_connect(window, "delete-event", G_CALLBACK(&WidgetTree::onDelete), this);
  g_signal_connect(window, "destroy", G_CALLBACK(&WidgetTree::onDestroyed), this);
  g_signal_connect(window, "key-press-event", G_CALLBACK(&WidgetTree::onKeyPress), this);
  placeWindow(node);
}

void WidgetTree::adoptPanel(ControlId control, const MessageWindow& made, bool returnPresses) {
  if (control == 0 || nodes_.count(control)) {
    gtk_widget_destroy(made.window);
    return;
  }
  auto node = std::make_unique<Node>();
  node->id = control;
  node->kind = ControlKind::Window;
  node->widget = GObjectRef<GtkWidget>(made.window);
  tagWidget(made.window, control);
  // Its press reports the panel, which is all the agent knows of it.
  tagWidget(made.button, control);
  g_signal_connect(made.button, "clicked", G_CALLBACK(&WidgetTree::onClicked), this);
  g_signal_connect(made.window, "delete-event", G_CALLBACK(&WidgetTree::onDelete), this);
  g_signal_connect(made.window, "destroy", G_CALLBACK(&WidgetTree::onDestroyed), this);
  g_signal_connect(made.window, "key-press-event",
                   G_CALLBACK(returnPresses ? &WidgetTree::onPanelKeyPress : &WidgetTree::onEscapeKeyPress),
                   made.button);
  nodes_.emplace(control, std::move(node));
  gtk_window_present(GTK_WINDOW(made.window));
}

void WidgetTree::destroy(ControlId control) {
  Node* node = find(control);
  if (!node) return;
  if (Node* parent = find(node->parent)) std::erase(parent->children, control);
  disconnect(control);
  gtk_widget_destroy(node->widget.get());
  forget(control);
}

void WidgetTree::setFrame(Node& node, const ui::Rect& frame) {
  node.frame = frame;
  if (node.kind == ControlKind::Window)
    placeWindow(node);
  else
    place(node);
}

void WidgetTree::setText(Node& node, const std::string& text) {
  switch (node.kind) {
    case ControlKind::Window:
      gtk_window_set_title(GTK_WINDOW(node.widget.get()), text.c_str());
      break;
    case ControlKind::TextField:
      gtk_label_set_text(GTK_LABEL(node.widget.get()), text.c_str());
      break;
    case ControlKind::Button:
      gtk_button_set_label(GTK_BUTTON(node.widget.get()), text.c_str());
      // The caption's label may be new; give it the control's style again.
      applyTextStyle(node);
      break;
    case ControlKind::TextView:
      if (GtkTextView* view = textViewOf(node.widget.get(), node.kind)) {
        const std::string shown = withoutNul(text);
        gtk_text_buffer_set_text(gtk_text_view_get_buffer(view), shown.data(), static_cast<gint>(shown.size()));
      } else {
        node.text = text;
      }
      break;
    case ControlKind::View:
      break;
  }
}

void WidgetTree::appendText(Node& node, const std::string& text) {
  switch (node.kind) {
    case ControlKind::TextView:
      if (GtkTextView* view = textViewOf(node.widget.get(), node.kind)) {
        const std::string shown = withoutNul(text);
        GtkTextBuffer* buffer = gtk_text_view_get_buffer(view);
        GtkTextIter end;
        gtk_text_buffer_get_end_iter(buffer, &end);
        gtk_text_buffer_insert(buffer, &end, shown.data(), static_cast<gint>(shown.size()));
      } else {
        node.text += text;
      }
      break;
    case ControlKind::TextField:
      setText(node, gtk_label_get_text(GTK_LABEL(node.widget.get())) + text);
      break;
    case ControlKind::Button:
      if (const gchar* label = gtk_button_get_label(GTK_BUTTON(node.widget.get()))) setText(node, label + text);
      break;
    case ControlKind::Window:
      if (const gchar* title = gtk_window_get_title(GTK_WINDOW(node.widget.get()))) setText(node, title + text);
      break;
    case ControlKind::View:
      break;
  }
}

void WidgetTree::ensureTextView(Node& node) {
  if (node.kind != ControlKind::TextView || textViewOf(node.widget.get(), node.kind)) return;
  // Made only now: a text view asks for the seat's keyboard, which a
  // compositor without a seat does not have, and a dialog whose details
  // nobody opens needs none.
  // Read-only but selectable, with a cursor to select by keyboard; lines as
  // they stand, scrolled to rather than wrapped.
  GtkWidget* text = gtk_text_view_new();
  gtk_text_view_set_editable(GTK_TEXT_VIEW(text), FALSE);
  gtk_text_view_set_cursor_visible(GTK_TEXT_VIEW(text), TRUE);
  gtk_text_view_set_monospace(GTK_TEXT_VIEW(text), TRUE);
  gtk_text_view_set_wrap_mode(GTK_TEXT_VIEW(text), GTK_WRAP_NONE);
  gtk_text_view_set_left_margin(GTK_TEXT_VIEW(text), 4);
  gtk_container_add(GTK_CONTAINER(node.widget.get()), text);
  gtk_widget_show(text);
  setText(node, std::exchange(node.text, std::string()));
  applyTextStyle(node);
}

void WidgetTree::applyTextStyle(Node& node) {
  if (GtkTextView* view = textViewOf(node.widget.get(), node.kind)) {
    // Points are pixels here, as for the labels below.
    if (node.pointSize > 0) {
      GtkCssProvider* css = gtk_css_provider_new();
      const std::string rule =
          "textview { font-size: " + std::to_string(static_cast<int>(std::min(node.pointSize, 512.0))) + "px; }";
      gtk_css_provider_load_from_data(css, rule.c_str(), -1, nullptr);
      gtk_style_context_add_provider(gtk_widget_get_style_context(GTK_WIDGET(view)), GTK_STYLE_PROVIDER(css),
                                     GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
      g_object_unref(css);
    }
    return;
  }
  GtkLabel* label = labelOf(node.widget.get(), node.kind);
  if (!label) return;
  PangoAttrList* attributes = pango_attr_list_new();
  if (node.bold) pango_attr_list_insert(attributes, pango_attr_weight_new(PANGO_WEIGHT_BOLD));
  // Points are pixels here, as the agent lays out in points at scale 1.
  if (node.pointSize > 0)
    pango_attr_list_insert(
        attributes, pango_attr_size_new_absolute(static_cast<int>(std::min(node.pointSize, 512.0) * PANGO_SCALE)));
  if (node.color) {
    pango_attr_list_insert(attributes,
                           pango_attr_foreground_new(colorChannel(node.color->red), colorChannel(node.color->green),
                                                     colorChannel(node.color->blue)));
    pango_attr_list_insert(attributes, pango_attr_foreground_alpha_new(colorChannel(node.color->alpha)));
  }
  gtk_label_set_attributes(label, attributes);
  pango_attr_list_unref(attributes);
  if (node.kind == ControlKind::TextField) {
    gtk_label_set_line_wrap(label, node.wraps);
    gtk_label_set_line_wrap_mode(label, PANGO_WRAP_WORD_CHAR);
    gtk_label_set_ellipsize(label, node.wraps ? PANGO_ELLIPSIZE_NONE : PANGO_ELLIPSIZE_END);
  }
}

void WidgetTree::measure(const Request& request) {
  Reply reply;
  reply.type = Reply::Type::Measured;
  reply.sequence = request.sequence;
  if (request.control == 0) {
    GdkRectangle area = monitorGeometry();
    if (GdkDisplay* display = gdk_display_get_default()) {
      GdkMonitor* monitor = gdk_display_get_primary_monitor(display);
      if (!monitor && gdk_display_get_n_monitors(display) > 0) monitor = gdk_display_get_monitor(display, 0);
      if (monitor) gdk_monitor_get_workarea(monitor, &area);
    }
    reply.size = ui::Size{double(area.width), double(area.height)};
  } else if (Node* node = find(request.control)) {
    if (node->kind == ControlKind::Window)
      reply.size = node->frame.size;
    else
      reply.size = naturalSize(node->widget.get(), request.boundsWidth);
  }
  // Answered even for a control we do not know: the agent is waiting.
  sink_(reply);
}

void WidgetTree::show(Node& node) {
  if (node.kind != ControlKind::Window) return;
  gtk_window_present(GTK_WINDOW(node.widget.get()));
}

void WidgetTree::activate() {
  for (const auto& [id, node] : nodes_)
    if (node->kind == ControlKind::Window && gtk_widget_get_visible(node->widget.get()))
      gtk_window_present(GTK_WINDOW(node->widget.get()));
}

WidgetTree::Node* WidgetTree::find(ControlId control) {
  const auto it = nodes_.find(control);
  return it == nodes_.end() ? nullptr : it->second.get();
}

void WidgetTree::place(Node& node) {
  Node* parent = find(node.parent);
  if (!parent || !parent->container) return;
  const ui::Rect& frame = node.frame;
  const double top = parent->frame.size.height - (frame.origin.y + frame.size.height);
  gtk_fixed_move(GTK_FIXED(parent->container), node.widget.get(), toPixels(frame.origin.x), toPixels(top));
  gtk_widget_set_size_request(node.widget.get(), toPixelSize(frame.size.width), toPixelSize(frame.size.height));
  for (const ControlId child : node.children)
    if (Node* childNode = find(child)) place(*childNode);
}

void WidgetTree::placeWindow(Node& node) {
  const int width = toPixelSize(node.frame.size.width);
  const int height = toPixelSize(node.frame.size.height);
  // A Wayland compositor places a window once, as it maps; one that grows
  // while shown (the details opening) would reach past the screen's edge.
  // Mapped anew, it is placed anew, to fit.
  GtkWidget* window = node.widget.get();
  int oldWidth = 0;
  int oldHeight = 0;
  gtk_widget_get_size_request(node.container, &oldWidth, &oldHeight);
  const bool remap = gtk_widget_get_visible(window) && (width > oldWidth || height > oldHeight) &&
                     GDK_IS_WAYLAND_DISPLAY(gtk_widget_get_display(window));
  if (remap) gtk_widget_hide(window);
  gtk_widget_set_size_request(node.container, width, height);
  // The agent lays the window out to the point: its frame is its size. A
  // window that is not resizable would take its content's natural size
  // instead, which for a fixed counts every label at its one-line width;
  // equal minimum and maximum sizes pin it without that.
  GdkGeometry geometry{};
  geometry.min_width = geometry.max_width = width;
  geometry.min_height = geometry.max_height = height;
  gtk_window_set_geometry_hints(GTK_WINDOW(node.widget.get()), nullptr, &geometry,
                                static_cast<GdkWindowHints>(GDK_HINT_MIN_SIZE | GDK_HINT_MAX_SIZE));
  gtk_window_set_default_size(GTK_WINDOW(node.widget.get()), width, height);
  gtk_window_resize(GTK_WINDOW(node.widget.get()), std::max(1, width), std::max(1, height));
  // Screen coordinates count up from the bottom of the screen; a dialog is
  // kept on the screen whatever its frame says, or nobody could answer it.
  const GdkRectangle screen = monitorGeometry();
  int left = screen.x + toPixels(node.frame.origin.x);
  int top = screen.y + screen.height - toPixels(node.frame.origin.y + node.frame.size.height);
  // A window laid out at the origin leaves its place to us: centred on the
  // monitor, where a dialog is expected, rather than in its corner.
  if (node.frame.origin.x == 0 && node.frame.origin.y == 0) {
    left = screen.x + (screen.width - width) / 2;
    top = screen.y + (screen.height - height) / 2;
  }
  const int x = std::clamp(left, screen.x, std::max(screen.x, screen.x + screen.width - width));
  const int y = std::clamp(top, screen.y, std::max(screen.y, screen.y + screen.height - height));
  gtk_window_move(GTK_WINDOW(node.widget.get()), x, y);
  for (const ControlId child : node.children)
    if (Node* childNode = find(child)) place(*childNode);
  if (remap) gtk_window_present(GTK_WINDOW(window));
}

std::vector<ControlId> WidgetTree::subtree(ControlId control) {
  std::vector<ControlId> ids{control};
  for (std::size_t i = 0; i < ids.size(); ++i)
    if (Node* node = find(ids[i])) ids.insert(ids.end(), node->children.begin(), node->children.end());
  return ids;
}

void WidgetTree::disconnect(ControlId control) {
  for (const ControlId id : subtree(control))
    if (Node* node = find(id)) g_signal_handlers_disconnect_by_data(node->widget.get(), this);
}

void WidgetTree::forget(ControlId control) {
  for (const ControlId id : subtree(control)) nodes_.erase(id);
}

WidgetTree::Node* WidgetTree::buttonForKey(ControlId window, const std::string& key) {
  for (const ControlId id : subtree(window)) {
    Node* node = find(id);
    if (node && node->kind == ControlKind::Button && node->keyEquivalent == key) return node;
  }
  return nullptr;
}

gboolean WidgetTree::onDelete(GtkWidget* window, GdkEvent* /*event*/, gpointer self) {
  auto* tree = static_cast<WidgetTree*>(self);
  const ControlId control = controlOf(window);
  // Closing hides, as on the agent's platform; the agent decides what a
  // closed dialog means.
  gtk_widget_hide(window);
  Reply reply;
  reply.type = Reply::Type::WindowClosed;
  reply.control = control;
  tree->sink_(reply);
  return TRUE;
}

void WidgetTree::onDestroyed(GtkWidget* window, gpointer self) {
  // Our own destroy() disconnects first, so this is someone else tearing the
  // window down (its X window destroyed from outside): a closed window.
  auto* tree = static_cast<WidgetTree*>(self);
  const ControlId control = controlOf(window);
  if (!tree->find(control)) return;
  tree->disconnect(control);
  tree->forget(control);
  Reply reply;
  reply.type = Reply::Type::WindowClosed;
  reply.control = control;
  tree->sink_(reply);
}

gboolean WidgetTree::onKeyPress(GtkWidget* window, GdkEventKey* event, gpointer self) {
  auto* tree = static_cast<WidgetTree*>(self);
  const std::string key = keyEquivalentOf(event);
  if (key.empty()) return FALSE;
  Node* button = tree->buttonForKey(controlOf(window), key);
  if (!button || !gtk_widget_is_sensitive(button->widget.get()) || !gtk_widget_get_visible(button->widget.get()))
    return FALSE;
  gtk_button_clicked(GTK_BUTTON(button->widget.get()));
  return TRUE;
}

gboolean WidgetTree::onPanelKeyPress(GtkWidget* /*window*/, GdkEventKey* event, gpointer button) {
  // The one button answers Return and Escape alike, wherever the focus is.
  const std::string key = keyEquivalentOf(event);
  if (key != "\r" && key != "\x1b") return FALSE;
  gtk_button_clicked(GTK_BUTTON(button));
  return TRUE;
}

gboolean WidgetTree::onEscapeKeyPress(GtkWidget* /*window*/, GdkEventKey* event, gpointer button) {
  // Escape stops, as the button does. Return does nothing here, not even to
  // the focused button: a key pressed by habit must not stop the work.
  const std::string key = keyEquivalentOf(event);
  if (key == "\r") return TRUE;
  if (key != "\x1b") return FALSE;
  gtk_button_clicked(GTK_BUTTON(button));
  return TRUE;
}

void WidgetTree::onClicked(GtkButton* button, gpointer self) {
  auto* tree = static_cast<WidgetTree*>(self);
  const ControlId control = controlOf(button);
  if (!tree->find(control)) return;
  Reply reply;
  reply.type = Reply::Type::ButtonPressed;
  reply.control = control;
  tree->sink_(reply);
}

}  // namespace cw::dialog
