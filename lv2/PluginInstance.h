// One LV2 instance: the component instance it drives, the component handlers it calls,
// and its ports. Its first member makes the LV2 handle an AudioUnit (see KorvelLV2.h).
#pragma once

#include <lv2/atom/atom.h>
#include <lv2/core/lv2.h>
#include <lv2/urid/urid.h>

#include <cstdint>

#include "lv2/MIDIOutSequence.h"
#include "platform/AudioComponent.h"

namespace korvel::lv2 {

struct Uris {
  LV2_URID atomSequence, atomInt, atomString, midiEvent;
  LV2_URID uniqueIDKey, connectedKey, trackNameKey;
};

struct PluginInstance {
  AudioComponentPlugInInterface handle;
  AudioUnit component = nullptr;
  MusicDeviceMIDIEventProc midiEvent = nullptr;
  AudioUnitGetPropertyProc getProperty = nullptr;
  AudioUnitSetPropertyProc setProperty = nullptr;
  Uris uris{};
  const LV2_Atom_Sequence* midiIn = nullptr;
  LV2_Atom_Sequence* midiOut = nullptr;
  // Valid during run(): where the component's MIDI output goes, and the frame time of
  // the input event being handled.
  MIDIOutSequence out;
  int64_t currentFrame = 0;
};

// The handle's Lookup: the component's handlers, run under the instance-state lock.
AudioComponentMethod LockedLookup(int16_t selector);

// state:interface.
extern const void* const kStateInterface;

}  // namespace korvel::lv2
