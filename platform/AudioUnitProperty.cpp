// The calls a view or host makes on an instance handle: the handle is the plug-in
// interface pointer, so the property handlers are found through its Lookup.
#include "platform/AudioComponent.h"

OSStatus AudioUnitGetProperty(AudioUnit unit, AudioUnitPropertyID prop, AudioUnitScope scope,
                              AudioUnitElement elem, void* outData, uint32_t* ioDataSize) {
  if (unit == nullptr || unit->Lookup == nullptr) return kAudioUnitErr_InvalidProperty;
  auto get = reinterpret_cast<AudioUnitGetPropertyProc>(unit->Lookup(kAudioUnitGetPropertySelect));
  if (get == nullptr) return kAudioUnitErr_InvalidProperty;
  return get(unit, prop, scope, elem, outData, ioDataSize);
}

OSStatus AudioUnitSetProperty(AudioUnit unit, AudioUnitPropertyID prop, AudioUnitScope scope,
                              AudioUnitElement elem, const void* inData, uint32_t inDataSize) {
  if (unit == nullptr || unit->Lookup == nullptr) return kAudioUnitErr_InvalidProperty;
  auto set = reinterpret_cast<AudioUnitSetPropertyProc>(unit->Lookup(kAudioUnitSetPropertySelect));
  if (set == nullptr) return kAudioUnitErr_InvalidProperty;
  return set(unit, prop, scope, elem, inData, inDataSize);
}
