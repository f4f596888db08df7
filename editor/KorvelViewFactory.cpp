#include "editor/KorvelViewFactory.h"

#include <algorithm>

#include "editor/EditorLayout.h"

namespace korvel::editor {

std::unique_ptr<KorvelEditorView> KorvelViewFactory::uiViewForAudioUnit(AudioUnit unit,
                                                                        double preferredWidth,
                                                                        double preferredHeight) {
  const Rect frame{0, 0, std::max(preferredWidth, kMinimumViewWidth),
                   std::max(preferredHeight, kMinimumViewHeight)};
  auto view = std::make_unique<KorvelEditorView>(frame, unit);
  view->setAutoresizingMask(kFollowContainerMask);
  return view;
}

}  // namespace korvel::editor
