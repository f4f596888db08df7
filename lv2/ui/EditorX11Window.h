/*
 * One editor view in a child window of the host's X11 window, on the editors' own X
 * connection (not the host's), driven entirely by the host's idle calls: X events
 * (exposure, size changes, presses, clipboard requests), the view's 0.1 s refresh on the
 * monotonic clock, and one redraw when anything asked for it. Xlib and Cairo only: the host's
 * toolkit, if it has one, is never touched. Every call is made on the host's UI thread.
 */
#ifndef KORVEL_LV2_UI_EDITORX11WINDOW_H
#define KORVEL_LV2_UI_EDITORX11WINDOW_H

#include <X11/Xlib.h>
#include <cairo.h>

#include <memory>
#include <optional>

#include "editor/KorvelEditorView.h"
#include "lv2/ui/IdleTimers.h"
#include "lv2/ui/X11Clipboard.h"

namespace korvel::lv2ui {

class EditorX11Window {
 public:
  /* A mapped window of the editor's smallest size in `parent`, showing the instance; null
   * when there is no display or the window cannot be made. */
  static std::unique_ptr<EditorX11Window> Open(Window parent, AudioUnit instance);
  ~EditorX11Window();
  EditorX11Window(const EditorX11Window&) = delete;
  EditorX11Window& operator=(const EditorX11Window&) = delete;

  Window window() const { return window_; }
  int width() const { return width_; }
  int height() const { return height_; }

  /* The host's idle call. False once the window is gone with its parent. */
  bool idle();

 private:
  EditorX11Window(Display* display, Window window, cairo_surface_t* surface, int width, int height,
                  AudioUnit instance);

  void handle(const XEvent& event);
  void resize(int width, int height);
  void draw();

  static void NeedsDisplay(void* self, KorvelView* view);
  static void SetClipboardText(void* self, const char* text);
  static uint64_t StartTimer(void* self, double seconds, KorvelTimerCallback fire, void* data);
  static void StopTimer(void* self, uint64_t token);

  Display* display_;
  Window window_;
  cairo_surface_t* surface_;
  int width_, height_;
  IdleTimers timers_;
  X11Clipboard clipboard_;
  Time lastPressTime_ = CurrentTime;
  bool needsDisplay_ = true;
  bool windowGone_ = false;
  KorvelWindowServices services_{};
  std::unique_ptr<editor::KorvelEditorView> view_;
};

}  // namespace korvel::lv2ui

#endif
