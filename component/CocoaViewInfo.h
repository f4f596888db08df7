/* The view description the component's CocoaUI property hands to a host. */
#pragma once

#include "platform/AudioComponent.h"
#include "platform/Export.h"

/*
 * Fills info with the plug-in bundle's file:// URL and the class name
 * "KorvelViewFactory", two libplist string nodes the caller frees with plist_free.
 * Returns false, and writes nothing, when the code is not running from a bundle.
 */
bool KorvelEditor_CopyCocoaViewInfo(AudioUnitCocoaViewInfo* info);

/*
 * The same for a host that asks the plug-in directly, exported under a plain name: the
 * main program's directory stands in for the bundle when the code is not inside one.
 */
extern "C" KORVEL_EXPORT void Korvel_GetCocoaUIInfo(AudioUnitCocoaViewInfo* info);
