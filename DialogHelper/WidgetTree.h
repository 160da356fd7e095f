#pragma once

#include <gtk/gtk.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "GObjectRef.h"
#include "UI/HelperProtocol.h"

namespace cw::dialog {

struct MessageWindow;

// The GTK widgets that stand for the agent's controls. Windows hold a frame
// layout (a GtkFixed that gives each child exactly its frame) for their
// content; views are frame layouts too; text fields are labels; text views
// are text views in a scrolled window. The message and progress windows the
// helper lays out itself (MessageWindows.h); here they are adopted as
// windows with one button.
// The agent's frames have their origin bottom-left with y up, GTK's top-left
// with y down, so every child's y is flipped against its parent's height.
// Requests naming unknown controls, or a control of the wrong kind, are
// ignored; a measurement is always answered.
class WidgetTree {
public:
  using ReplySink = std::function<void(const ui::protocol::Reply&)>;

  explicit WidgetTree(ReplySink sink);
  ~WidgetTree();
  WidgetTree(const WidgetTree&) = delete;
  WidgetTree& operator=(const WidgetTree&) = delete;

  void apply(const ui::protocol::Request& request);

private:
  struct Node {
    ui::ControlId id = 0;
    ui::ControlKind kind = ui::ControlKind::View;
    ui::ControlId parent = 0;
    ui::Rect frame;
    GObjectRef<GtkWidget> widget;
    // Where children go: a window's content fixed, or the view itself.
    GtkWidget* container = nullptr;
    std::vector<ui::ControlId> children;
    std::string keyEquivalent;
    bool bold = false;
    double pointSize = 0;
    bool wraps = false;
    std::optional<ui::Color> color;
    // A text view's text until its text view is made.
    std::string text;
  };

  void create(const ui::protocol::Request& request);
  // A window of its own layout under `control`; its button reports the
  // window. `returnPresses`: Return presses the button as Escape does.
  void adoptPanel(ui::ControlId control, const MessageWindow& made, bool returnPresses);
  void createWindow(Node& node);
  void destroy(ui::ControlId control);
  void setFrame(Node& node, const ui::Rect& frame);
  void setText(Node& node, const std::string& text);
  void appendText(Node& node, const std::string& text);
  void ensureTextView(Node& node);
  void applyTextStyle(Node& node);
  void measure(const ui::protocol::Request& request);
  void show(Node& node);
  void activate();

  Node* find(ui::ControlId control);
  // Puts a control at its frame inside its parent, and its children in turn.
  void place(Node& node);
  void placeWindow(Node& node);
  // The control, its subviews and theirs, parents first.
  std::vector<ui::ControlId> subtree(ui::ControlId control);
  // Stops our signal handlers on a subtree, before we tear it down.
  void disconnect(ui::ControlId control);
  // Forgets the controls of a subtree without touching their widgets' fate.
  void forget(ui::ControlId control);
  Node* buttonForKey(ui::ControlId window, const std::string& key);

  static gboolean onDelete(GtkWidget* window, GdkEvent* event, gpointer self);
  static void onDestroyed(GtkWidget* window, gpointer self);
  static gboolean onKeyPress(GtkWidget* window, GdkEventKey* event, gpointer self);
  static void onClicked(GtkButton* button, gpointer self);
  static gboolean onPanelKeyPress(GtkWidget* window, GdkEventKey* event, gpointer button);
  static gboolean onEscapeKeyPress(GtkWidget* window, GdkEventKey* event, gpointer button);

  ReplySink sink_;
  std::unordered_map<ui::ControlId, std::unique_ptr<Node>> nodes_;
};

}  // namespace cw::dialog
