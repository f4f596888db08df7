#include "host/EditorWindow.h"

#include <algorithm>
#include <cmath>

namespace korvel::host {
namespace {

struct TimerCall {
  KorvelTimerCallback fire;
  void* data;
};

gboolean FireTimer(gpointer call) {
  auto* c = static_cast<TimerCall*>(call);
  c->fire(c->data);
  return G_SOURCE_CONTINUE;
}

void FreeTimer(gpointer call) { delete static_cast<TimerCall*>(call); }

}  // namespace

EditorWindow::EditorWindow(std::unique_ptr<EditorView> view, const std::string& title)
    : view_(std::move(view)) {
  const KorvelViewRect frame = view_->frame();
  window_ = gtk_window_new();
  gtk_window_set_title(GTK_WINDOW(window_), title.c_str());
  gtk_window_set_default_size(GTK_WINDOW(window_), int(std::lround(frame.width)),
                              int(std::lround(frame.height)));
  area_ = gtk_drawing_area_new();
  gtk_widget_set_hexpand(area_, TRUE);
  gtk_widget_set_vexpand(area_, TRUE);
  gtk_drawing_area_set_draw_func(GTK_DRAWING_AREA(area_), &EditorWindow::Draw, this, nullptr);
  g_signal_connect(area_, "resize", G_CALLBACK(&EditorWindow::Resized), this);
  click_ = gtk_gesture_click_new();
  gtk_gesture_single_set_button(GTK_GESTURE_SINGLE(click_), GDK_BUTTON_PRIMARY);
  g_signal_connect(click_, "pressed", G_CALLBACK(&EditorWindow::Pressed), this);
  gtk_widget_add_controller(area_, GTK_EVENT_CONTROLLER(click_));
  gtk_window_set_child(GTK_WINDOW(window_), area_);
  g_signal_connect(window_, "close-request", G_CALLBACK(&EditorWindow::CloseRequested), this);

  services_.context = this;
  services_.setNeedsDisplay = &EditorWindow::NeedsDisplay;
  services_.setClipboardText = &EditorWindow::SetClipboardText;
  services_.startRepeatingTimer = &EditorWindow::StartTimer;
  services_.stopTimer = &EditorWindow::StopTimer;
  view_->attach(&services_);
  gtk_window_present(GTK_WINDOW(window_));
}

EditorWindow::~EditorWindow() {
  if (window_) {
    GtkWidget* window = window_;
    close();
    gtk_window_destroy(GTK_WINDOW(window));
  }
}

// From here on nothing of the window reaches this object or the view: the timer is
// stopped by the detach and the widgets' handlers are cut.
void EditorWindow::close() {
  view_->detach();
  gtk_drawing_area_set_draw_func(GTK_DRAWING_AREA(area_), nullptr, nullptr, nullptr);
  g_signal_handlers_disconnect_by_data(click_, this);
  g_signal_handlers_disconnect_by_data(area_, this);
  g_signal_handlers_disconnect_by_data(window_, this);
  window_ = nullptr;
  area_ = nullptr;
  click_ = nullptr;
}

void EditorWindow::Draw(GtkDrawingArea*, cairo_t* cr, int width, int height, gpointer self) {
  auto* w = static_cast<EditorWindow*>(self);
  const KorvelViewRect frame = w->view_->frame();
  // The view follows its container in both directions.
  if (frame.width != width || frame.height != height) w->view_->setFrameSize(width, height);
  w->view_->draw(cr);
}

void EditorWindow::Resized(GtkDrawingArea*, int width, int height, gpointer self) {
  static_cast<EditorWindow*>(self)->view_->setFrameSize(width, height);
}

void EditorWindow::Pressed(GtkGestureClick*, int, double x, double y, gpointer self) {
  static_cast<EditorWindow*>(self)->view_->mouseDown(x, y);
}

gboolean EditorWindow::CloseRequested(GtkWindow*, gpointer self) {
  static_cast<EditorWindow*>(self)->close();
  return FALSE;  // let GTK destroy the window
}

void EditorWindow::NeedsDisplay(void* self, KorvelView*) {
  auto* w = static_cast<EditorWindow*>(self);
  if (w->area_) gtk_widget_queue_draw(w->area_);
}

void EditorWindow::SetClipboardText(void* self, const char* text) {
  auto* w = static_cast<EditorWindow*>(self);
  if (w->area_ && text) gdk_clipboard_set_text(gtk_widget_get_clipboard(w->area_), text);
}

uint64_t EditorWindow::StartTimer(void*, double seconds, KorvelTimerCallback fire, void* data) {
  if (!fire || !(seconds > 0)) return 0;
  auto interval = static_cast<unsigned>(std::max(1.0, std::round(seconds * 1000)));
  return g_timeout_add_full(G_PRIORITY_DEFAULT, interval, &FireTimer, new TimerCall{fire, data},
                            &FreeTimer);
}

void EditorWindow::StopTimer(void*, uint64_t timer) {
  if (timer != 0) g_source_remove(static_cast<unsigned>(timer));
}

}  // namespace korvel::host
