/* The view description the component's CocoaUI property hands to a host. */
#ifndef KORVEL_EDITOR_COCOAVIEWINFO_H
#define KORVEL_EDITOR_COCOAVIEWINFO_H

#include "platform/AudioComponent.h"

/*
 * Fills info with the plug-in bundle's file:// URL and the class name
 * "KorvelViewFactory", two libplist string nodes the caller frees with plist_free.
 * Returns false, and writes nothing, when the code is not running from a bundle.
 */
bool KorvelEditor_CopyCocoaViewInfo(AudioUnitCocoaViewInfo* info);

namespace korvel::editor {
inline constexpr const char* kViewFactoryClassName = "KorvelViewFactory";
}

#endif
