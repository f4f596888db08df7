// The C tables behind ViewABI.h: each entry forwards to the C++ view.
#include "editor/ViewABI.h"

#include <cstring>

#include "editor/KorvelViewFactory.h"
#include "editor/OffscreenRender.h"
#include "interface/KorvelProperties.h"

namespace korvel::editor {
namespace {

KorvelEditorView* Unwrap(KorvelView* view) { return reinterpret_cast<KorvelEditorView*>(view); }
const KorvelEditorView* Unwrap(const KorvelView* view) {
  return reinterpret_cast<const KorvelEditorView*>(view);
}

/* The host calls these as plain C: what runs out of memory is dropped (a missed redraw
 * or tick), never thrown into the host. */
template <class Result, class Body>
Result Guarded(Body&& body, Result failed) noexcept {
  try {
    return body();
  } catch (...) {
    return failed;
  }
}
template <class Body>
void Guarded(Body&& body) noexcept {
  try {
    body();
  } catch (...) {
  }
}

KorvelViewRect Frame(const KorvelView* view) {
  const Rect& f = Unwrap(view)->frame();
  return KorvelViewRect{f.x, f.y, f.width, f.height};
}
void SetFrameSize(KorvelView* view, double width, double height) {
  Unwrap(view)->setFrameSize(width, height);
}
uint32_t AutoresizingMask(const KorvelView* view) { return Unwrap(view)->autoresizingMask(); }
void Draw(KorvelView* view, cairo_t* cr) {
  Guarded([&] { Unwrap(view)->drawRect(cr); });
}
void MouseDown(KorvelView* view, double x, double y) {
  Guarded([&] { Unwrap(view)->mouseDown(x, y); });
}
void Attach(KorvelView* view, const KorvelWindowServices* services) {
  Guarded([&] { Unwrap(view)->viewDidMoveToWindow(services); });
}
void Detach(KorvelView* view) { Unwrap(view)->viewDidMoveToWindow(nullptr); }
void Tick(KorvelView* view) {
  Guarded([&] { Unwrap(view)->tick(); });
}
AudioUnit GetAudioUnit(const KorvelView* view) { return Unwrap(view)->audioUnit(); }
void SetAudioUnit(KorvelView* view, AudioUnit unit) { Unwrap(view)->setAudioUnit(unit); }
int RenderPNG(KorvelView* view, int width, int height, const char* path) {
  if (path == nullptr) return -1;
  return Guarded<int>([&] { return RenderViewToPNG(*Unwrap(view), width, height, path) ? 0 : -1; },
                      -1);
}
void Release(KorvelView* view) { delete Unwrap(view); }

constexpr KorvelViewInterface kViewInterface{
    Frame,  SetFrameSize, AutoresizingMask, Draw,         MouseDown, Attach,
    Detach, Tick,         GetAudioUnit,     SetAudioUnit, RenderPNG, Release,
};

uint32_t InterfaceVersion() { return KorvelViewFactory::interfaceVersion(); }
const char* Description() { return KorvelViewFactory::description(); }
KorvelView* MakeView(AudioUnit unit, double preferredWidth, double preferredHeight) {
  return Guarded<KorvelView*>(
      [&] {
        auto view = KorvelViewFactory::uiViewForAudioUnit(unit, preferredWidth, preferredHeight);
        return reinterpret_cast<KorvelView*>(view.release());
      },
      nullptr);
}

constexpr KorvelViewFactoryInterface kFactoryInterface{
    InterfaceVersion,
    Description,
    MakeView,
    &kViewInterface,
};

}  // namespace
}  // namespace korvel::editor

extern "C" const KorvelViewFactoryInterface* Korvel_ViewFactoryNamed(const char* className) {
  if (className == nullptr || std::strcmp(className, kKorvelViewFactoryClassName) != 0) {
    return nullptr;
  }
  return &korvel::editor::kFactoryInterface;
}
