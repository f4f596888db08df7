// The host calls the component as plain C: nothing may be thrown across that boundary.
// The handlers that can run out of memory run their work through KR_Guarded, which
// answers the component's one error status for anything the work throws.
#ifndef KORVEL_COMPONENT_ENTRYGUARD_H
#define KORVEL_COMPONENT_ENTRYGUARD_H

#include "platform/AudioComponent.h"

template <class Body>
OSStatus KR_Guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    return kAudioUnitErr_InvalidProperty;
  }
}

#endif
