#include "lv2/ui/X11Clipboard.h"

#include <X11/Xatom.h>

namespace korvel::lv2ui {

X11Clipboard::X11Clipboard(Display* display, Window owner)
    : display_(display),
      owner_(owner),
      clipboard_(XInternAtom(display, "CLIPBOARD", False)),
      targets_(XInternAtom(display, "TARGETS", False)),
      utf8String_(XInternAtom(display, "UTF8_STRING", False)) {}

bool X11Clipboard::own(const std::string& text, Time time) {
  text_ = text;
  ownedSince_ = time;
  XSetSelectionOwner(display_, clipboard_, owner_, time);
  // The server refuses a time older than the current owner's; then the copy did not happen.
  owned_ = XGetSelectionOwner(display_, clipboard_) == owner_;
  return owned_;
}

void X11Clipboard::lost(const XSelectionClearEvent& clear) {
  if (clear.selection != clipboard_) return;
  owned_ = false;
  text_.clear();
}

bool X11Clipboard::write(const XSelectionRequestEvent& request, Atom property) {
  if (request.target == targets_) {
    const Atom offered[] = {targets_, utf8String_, XA_STRING};
    XChangeProperty(display_, request.requestor, property, XA_ATOM, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(offered), 3);
    return true;
  }
  if (request.target == utf8String_ || request.target == XA_STRING) {
    XChangeProperty(display_, request.requestor, property, request.target, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(text_.data()),
                    static_cast<int>(text_.size()));
    return true;
  }
  return false;
}

void X11Clipboard::answer(const XSelectionRequestEvent& request) {
  XSelectionEvent reply{};
  reply.type = SelectionNotify;
  reply.display = display_;
  reply.requestor = request.requestor;
  reply.selection = request.selection;
  reply.target = request.target;
  reply.time = request.time;
  reply.property = None;  // refused, unless written below
  // Clients from before ICCCM 2 name no property: the answer goes into one named as the target.
  const Atom property = request.property != None ? request.property : request.target;
  const bool current =
      request.time == CurrentTime || ownedSince_ == CurrentTime || request.time >= ownedSince_;
  if (owned_ && request.selection == clipboard_ && current && write(request, property))
    reply.property = property;
  XSendEvent(display_, request.requestor, False, NoEventMask, reinterpret_cast<XEvent*>(&reply));
  XFlush(display_);
}

}  // namespace korvel::lv2ui
