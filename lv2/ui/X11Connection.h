/*
 * The X connection of the process's editors: opened with the first editor and kept for
 * the life of the process, as a toolkit keeps its one connection. Cairo keeps state per
 * connection (the display's glyph caches) that it does not give back when a connection
 * closes, so a connection per editor would lose a few kilobytes with every editor
 * opened and closed. Any editor's idle call reads the pending events and hands each to
 * the editor whose window it concerns. UI thread only.
 */
#ifndef KORVEL_LV2_UI_X11CONNECTION_H
#define KORVEL_LV2_UI_X11CONNECTION_H

#include <X11/Xlib.h>

#include <functional>

namespace korvel::lv2ui {

class X11Connection {
 public:
  using Handler = std::function<void(const XEvent&)>;

  /* The shared connection to $DISPLAY; null when it cannot be opened (tried again on the
   * next call). */
  static Display* Shared();
  /* Events of `window` go to `handler` until Forget. */
  static void Listen(Window window, Handler handler);
  static void Forget(Window window);
  /* Reads every pending event and hands it on; events of windows nobody listens to are
   * dropped. */
  static void Pump();
};

}  // namespace korvel::lv2ui

#endif
