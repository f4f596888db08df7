/*
 * Xlib's default error handler ends the process. Inside a host that is never right for
 * the editor's own requests, which can fail for reasons outside its control: the host
 * destroys the parent window before it closes the UI, a client that asked for the
 * clipboard is gone before the answer arrives. While a trap is set, errors on the trapped
 * connection are recorded and dropped; errors on any other connection (the host's own)
 * still go to the handler that was there before. UI thread only; traps do not nest.
 */
#ifndef KORVEL_LV2_UI_X11ERRORTRAP_H
#define KORVEL_LV2_UI_X11ERRORTRAP_H

#include <X11/Xlib.h>

namespace korvel::lv2ui {

class X11ErrorTrap {
 public:
  /* Synchronises first, so that errors of earlier requests are not counted here. */
  explicit X11ErrorTrap(Display* display) {
    XSync(display, False);
    trapped_ = display;
    caught_ = false;
    previous_ = XSetErrorHandler(&Handle);
  }
  /* Errors arrive only once the server has answered: synchronise before leaving the trap
   * (the display may be closed by then, so the destructor does not). */
  ~X11ErrorTrap() {
    XSetErrorHandler(previous_);
    trapped_ = nullptr;
  }
  X11ErrorTrap(const X11ErrorTrap&) = delete;
  X11ErrorTrap& operator=(const X11ErrorTrap&) = delete;

  /* Whether a request on the trapped connection failed (after synchronising). */
  bool caught() const {
    XSync(trapped_, False);
    return caught_;
  }

 private:
  static int Handle(Display* display, XErrorEvent* error) {
    if (display == trapped_) {
      caught_ = true;
      return 0;
    }
    return previous_ != nullptr ? previous_(display, error) : 0;
  }

  static inline Display* trapped_ = nullptr;
  static inline bool caught_ = false;
  static inline XErrorHandler previous_ = nullptr;
};

}  // namespace korvel::lv2ui

#endif
