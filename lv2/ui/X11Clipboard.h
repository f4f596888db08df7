/*
 * The X11 CLIPBOARD selection, owned by the editor's window. X has no clipboard store:
 * the owner answers every paste itself, so the window's event handling passes each
 * SelectionRequest here. Text can be pasted as UTF8_STRING or STRING (the editor copies
 * ASCII only), and TARGETS lists the two. The contents go when another client takes the
 * selection (SelectionClear) or the window closes.
 */
#ifndef KORVEL_LV2_UI_X11CLIPBOARD_H
#define KORVEL_LV2_UI_X11CLIPBOARD_H

#include <X11/Xlib.h>

#include <string>

namespace korvel::lv2ui {

class X11Clipboard {
 public:
  X11Clipboard(Display* display, Window owner);

  /* Takes the selection at `time` (the X time of the click that asked for it). */
  bool own(const std::string& text, Time time);
  bool owns() const { return owned_; }

  void answer(const XSelectionRequestEvent& request);
  void lost(const XSelectionClearEvent& clear);

 private:
  bool write(const XSelectionRequestEvent& request, Atom property);

  Display* display_;
  Window owner_;
  Atom clipboard_, targets_, utf8String_;
  std::string text_;
  Time ownedSince_ = CurrentTime;
  bool owned_ = false;
};

}  // namespace korvel::lv2ui

#endif
