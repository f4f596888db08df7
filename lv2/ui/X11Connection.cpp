#include "lv2/ui/X11Connection.h"

#include <map>

namespace korvel::lv2ui {
namespace {

Display*& SharedDisplay() {
  static Display* display = nullptr;
  return display;
}

std::map<Window, X11Connection::Handler>& Handlers() {
  static auto* handlers = new std::map<Window, X11Connection::Handler>;  // outlives every editor
  return *handlers;
}

}  // namespace

Display* X11Connection::Shared() {
  Display*& display = SharedDisplay();
  if (display == nullptr) display = XOpenDisplay(nullptr);
  return display;
}

void X11Connection::Listen(Window window, Handler handler) {
  Handlers()[window] = std::move(handler);
}

void X11Connection::Forget(Window window) { Handlers().erase(window); }

void X11Connection::Pump() {
  Display* display = SharedDisplay();
  if (display == nullptr) return;
  while (XPending(display) > 0) {
    XEvent event;
    XNextEvent(display, &event);
    // For every event an editor selects, `xany.window` is its own window (for a
    // SelectionRequest, the owner's).
    auto it = Handlers().find(event.xany.window);
    if (it == Handlers().end()) continue;
    const Handler handler = it->second;  // the handler may forget its window
    handler(event);
  }
}

}  // namespace korvel::lv2ui
