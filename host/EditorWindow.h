// One track's editor in a GTK 4 window: a drawing area that the view paints, presses
// forwarded to the view, and the window services the view asks for (redraws, the
// clipboard, its 0.1 s refresh timer on the GLib main loop). Main thread only.
#pragma once

#include <gtk/gtk.h>

#include <memory>
#include <string>

#include "host/EditorView.h"

namespace korvel::host {

class EditorWindow {
 public:
  EditorWindow(std::unique_ptr<EditorView> view, const std::string& title);
  // Takes the view out of the window (its timer stops), closes the window if the user has
  // not, and releases the view.
  ~EditorWindow();
  EditorWindow(const EditorWindow&) = delete;
  EditorWindow& operator=(const EditorWindow&) = delete;

  bool isOpen() const { return window_ != nullptr; }

 private:
  static void Draw(GtkDrawingArea* area, cairo_t* cr, int width, int height, gpointer self);
  static void Resized(GtkDrawingArea* area, int width, int height, gpointer self);
  static void Pressed(GtkGestureClick* gesture, int presses, double x, double y, gpointer self);
  static gboolean CloseRequested(GtkWindow* window, gpointer self);

  static void NeedsDisplay(void* self, KorvelView* view);
  static void SetClipboardText(void* self, const char* text);
  static uint64_t StartTimer(void* self, double seconds, KorvelTimerCallback fire, void* data);
  static void StopTimer(void* self, uint64_t timer);

  void close();

  std::unique_ptr<EditorView> view_;
  KorvelWindowServices services_{};
  GtkWidget* window_ = nullptr;
  GtkWidget* area_ = nullptr;
  GtkGesture* click_ = nullptr;
};

}  // namespace korvel::host
