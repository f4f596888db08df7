// The platform's two property calls, for this host's own use: like the platform's, they
// reach the handlers through the instance handle's Lookup, because the handle is the
// plug-in interface pointer itself.
#include "platform/AudioComponent.h"

extern "C" OSStatus AudioUnitGetProperty(AudioUnit unit, AudioUnitPropertyID prop,
                                         AudioUnitScope scope, AudioUnitElement elem, void* outData,
                                         uint32_t* ioDataSize) {
  if (!unit || !unit->Lookup) return kAudioUnitErr_InvalidProperty;
  auto get = reinterpret_cast<AudioUnitGetPropertyProc>(unit->Lookup(kAudioUnitGetPropertySelect));
  if (!get) return kAudioUnitErr_InvalidProperty;
  return get(unit, prop, scope, elem, outData, ioDataSize);
}

extern "C" OSStatus AudioUnitSetProperty(AudioUnit unit, AudioUnitPropertyID prop,
                                         AudioUnitScope scope, AudioUnitElement elem,
                                         const void* inData, uint32_t inDataSize) {
  if (!unit || !unit->Lookup) return kAudioUnitErr_InvalidProperty;
  auto set = reinterpret_cast<AudioUnitSetPropertyProc>(unit->Lookup(kAudioUnitSetPropertySelect));
  if (!set) return kAudioUnitErr_InvalidProperty;
  return set(unit, prop, scope, elem, inData, inDataSize);
}
