#include "lv2/ui/EditorX11Window.h"

#include <X11/Xutil.h>
#include <cairo-xlib.h>

#include "editor/EditorLayout.h"
#include "editor/KorvelViewFactory.h"
#include "lv2/ui/X11Connection.h"
#include "lv2/ui/X11ErrorTrap.h"

namespace korvel::lv2ui {

std::unique_ptr<EditorX11Window> EditorX11Window::Open(Window parent, AudioUnit instance) {
  Display* display = X11Connection::Shared();
  if (display == nullptr) return nullptr;
  const int width = static_cast<int>(editor::kMinimumViewWidth);
  const int height = static_cast<int>(editor::kMinimumViewHeight);
  Window window = 0;
  cairo_surface_t* surface = nullptr;
  {
    X11ErrorTrap trap(display);
    XSetWindowAttributes attributes{};
    attributes.background_pixmap = None;  // no flash of another colour before the first paint
    attributes.event_mask = ExposureMask | ButtonPressMask | StructureNotifyMask;
    window = XCreateWindow(display, parent, 0, 0, width, height, 0, CopyFromParent, InputOutput,
                           CopyFromParent, CWBackPixmap | CWEventMask, &attributes);
    // The host sizes its container from these hints: the editor's own size, and no smaller.
    XSizeHints* hints = XAllocSizeHints();
    hints->flags = PMinSize | PBaseSize;
    hints->min_width = hints->base_width = width;
    hints->min_height = hints->base_height = height;
    XSetWMNormalHints(display, window, hints);
    XFree(hints);
    XWindowAttributes created{};
    XGetWindowAttributes(display, window, &created);
    if (trap.caught()) return nullptr;  // no such parent
    surface = cairo_xlib_surface_create(display, window, created.visual, width, height);
    XMapWindow(display, window);
    XSync(display, False);
  }
  return std::unique_ptr<EditorX11Window>(
      new EditorX11Window(display, window, surface, width, height, instance));
}

EditorX11Window::EditorX11Window(Display* display, Window window, cairo_surface_t* surface,
                                 int width, int height, AudioUnit instance)
    : display_(display),
      window_(window),
      surface_(surface),
      width_(width),
      height_(height),
      clipboard_(display, window) {
  services_.context = this;
  services_.setNeedsDisplay = &NeedsDisplay;
  services_.setClipboardText = &SetClipboardText;
  services_.startRepeatingTimer = &StartTimer;
  services_.stopTimer = &StopTimer;
  view_ = editor::KorvelViewFactory::uiViewForAudioUnit(instance, width, height);
  view_->viewDidMoveToWindow(&services_);
  X11Connection::Listen(window_, [this](const XEvent& event) { handle(event); });
}

EditorX11Window::~EditorX11Window() {
  X11Connection::Forget(window_);
  view_->viewDidMoveToWindow(nullptr);
  view_.reset();
  X11ErrorTrap trap(display_);  // the host may have destroyed the parent, and this window with it
  cairo_surface_destroy(surface_);
  if (!windowGone_) XDestroyWindow(display_, window_);
  XSync(display_, False);
}

bool EditorX11Window::idle() {
  if (windowGone_) return false;
  X11ErrorTrap trap(display_);
  X11Connection::Pump();
  if (windowGone_) return false;
  timers_.runDue(IdleTimers::Clock::now());
  if (needsDisplay_) draw();
  XSync(display_, False);
  return true;
}

void EditorX11Window::handle(const XEvent& event) {
  switch (event.type) {
    case Expose:
      if (event.xexpose.count == 0) needsDisplay_ = true;
      break;
    case ConfigureNotify:
      if (event.xconfigure.window == window_)
        resize(event.xconfigure.width, event.xconfigure.height);
      break;
    case DestroyNotify:
      if (event.xdestroywindow.window == window_) windowGone_ = true;
      break;
    case ButtonPress:
      if (event.xbutton.button == Button1) {
        lastPressTime_ = event.xbutton.time;  // the clipboard is taken as of the click
        view_->mouseDown(event.xbutton.x, event.xbutton.y);
      }
      break;
    case SelectionRequest:
      clipboard_.answer(event.xselectionrequest);
      break;
    case SelectionClear:
      clipboard_.lost(event.xselectionclear);
      break;
    default:
      break;
  }
}

void EditorX11Window::resize(int width, int height) {
  if (width == width_ && height == height_) return;
  width_ = width;
  height_ = height;
  view_->setFrameSize(width, height);
  cairo_xlib_surface_set_size(surface_, width, height);
  needsDisplay_ = true;
}

void EditorX11Window::draw() {
  needsDisplay_ = false;
  // Painted off screen first and copied in one go, so that no half-drawn frame shows.
  cairo_t* cr = cairo_create(surface_);
  cairo_push_group(cr);
  view_->drawRect(cr);
  cairo_pop_group_to_source(cr);
  cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
  cairo_paint(cr);
  cairo_destroy(cr);
  cairo_surface_flush(surface_);
}

void EditorX11Window::NeedsDisplay(void* self, KorvelView*) {
  static_cast<EditorX11Window*>(self)->needsDisplay_ = true;
}

void EditorX11Window::SetClipboardText(void* self, const char* text) {
  auto* window = static_cast<EditorX11Window*>(self);
  window->clipboard_.own(text, window->lastPressTime_);
}

uint64_t EditorX11Window::StartTimer(void* self, double seconds, KorvelTimerCallback fire,
                                     void* data) {
  const auto interval = std::chrono::duration_cast<IdleTimers::Clock::duration>(
      std::chrono::duration<double>(seconds));
  return static_cast<EditorX11Window*>(self)->timers_.start(interval, fire, data,
                                                            IdleTimers::Clock::now());
}

void EditorX11Window::StopTimer(void* self, uint64_t token) {
  static_cast<EditorX11Window*>(self)->timers_.stop(token);
}

}  // namespace korvel::lv2ui
