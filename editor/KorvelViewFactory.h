/* Makes the editor views that hosts ask for by the factory's class name. */
#pragma once

#include <cstdint>
#include <memory>

#include "editor/KorvelEditorView.h"

namespace korvel::editor {

class KorvelViewFactory {
 public:
  static constexpr uint32_t interfaceVersion() { return 0; }
  static constexpr const char* description() { return "Korvel View"; }
  /* A view of at least 340 x 500 at the origin, following its container's size. */
  static std::unique_ptr<KorvelEditorView> uiViewForAudioUnit(AudioUnit unit, double preferredWidth,
                                                              double preferredHeight);
};

}  // namespace korvel::editor
