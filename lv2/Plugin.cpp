// The LV2 plug-in: each LV2 instance makes one component instance through the factory
// and drives it only through the handlers that its Lookup hands out.
#include <lv2/atom/util.h>
#include <lv2/midi/midi.h>
#include <lv2/state/state.h>

#include <cstring>
#include <mutex>
#include <new>

#include "component/KorvelComponent.h"
#include "lv2/KorvelLV2.h"
#include "lv2/MainQueueThread.h"
#include "lv2/PluginInstance.h"
#include "platform/MIDIPacketList.h"

namespace korvel::lv2 {
namespace {

const LV2_URID_Map* FindURIDMap(const LV2_Feature* const* features) {
  for (; features && *features; ++features)
    if (std::strcmp((*features)->URI, LV2_URID__map) == 0)
      return static_cast<const LV2_URID_Map*>((*features)->data);
  return nullptr;
}

Uris MapUris(const LV2_URID_Map& map) {
  auto id = [&](const char* uri) { return map.map(map.handle, uri); };
  return Uris{id(LV2_ATOM__Sequence),       id(LV2_ATOM__Int),
              id(LV2_ATOM__String),         id(LV2_MIDI__MidiEvent),
              id(KORVEL_LV2_UNIQUE_ID_KEY), id(KORVEL_LV2_CONNECTED_KEY),
              id(KORVEL_LV2_TRACK_NAME_KEY)};
}

// The component's MIDI output: every packet becomes an event at the frame of the input
// event being handled. The thru of one event is a list of one packet; longer lists take
// the loop, kept out of line so that the common case saves no registers.
__attribute__((noinline)) void AppendPackets(PluginInstance* self, const MIDIPacketList* list) {
  const MIDIPacket* packet = list->packet;
  for (uint32_t i = 0; i < list->numPackets; ++i, packet = MIDIPacketNext(packet))
    self->out.append(self->currentFrame, packet->data, packet->length);
}

OSStatus AppendComponentOutput(void* userData, const AudioTimeStamp*, uint32_t,
                               const MIDIPacketList* list) {
  auto* self = static_cast<PluginInstance*>(userData);
  const MIDIPacket& packet = list->packet[0];
  if (list->numPackets == 1 && packet.length <= 3)
    self->out.appendShort(self->currentFrame, packet.data, packet.length);
  else
    AppendPackets(self, list);
  return noErr;
}

// Channel messages of their proper length go through the component; everything else
// (system exclusive, system common and real-time, malformed events) is passed on as is.
bool IsChannelMessage(const uint8_t* bytes, uint32_t size) {
  if (size == 0 || bytes[0] < 0x80 || bytes[0] >= 0xF0) return false;
  return size == ((bytes[0] & 0xE0) == 0xC0 ? 2u : 3u);
}

LV2_Handle Instantiate(const LV2_Descriptor*, double, const char*,
                       const LV2_Feature* const* features) {
  const LV2_URID_Map* map = FindURIDMap(features);
  if (map == nullptr) return nullptr;
  auto* self = new (std::nothrow) PluginInstance;
  if (self == nullptr) return nullptr;
  self->handle = AudioComponentPlugInInterface{nullptr, nullptr, LockedLookup, nullptr};
  self->uris = MapUris(*map);

  RetainMainQueueThread();
  {
    std::lock_guard lock(InstanceStateLock());
    const AudioComponentDescription description{KORVEL_FOURCC('a', 'u', 'm', 'i'),
                                                KORVEL_FOURCC('k', 'r', 'v', '2'),
                                                KORVEL_FOURCC('T', 'l', 'v', 'n'), 0, 0};
    self->component = KorvelAUFactory(&description);
    if (self->component != nullptr) {
      self->component->Open(self->component, self->component);
      auto lookup = self->component->Lookup;
      self->midiEvent =
          reinterpret_cast<MusicDeviceMIDIEventProc>(lookup(kMusicDeviceMIDIEventSelect));
      self->getProperty =
          reinterpret_cast<AudioUnitGetPropertyProc>(lookup(kAudioUnitGetPropertySelect));
      self->setProperty =
          reinterpret_cast<AudioUnitSetPropertyProc>(lookup(kAudioUnitSetPropertySelect));
      const AUMIDIOutputCallbackStruct output{AppendComponentOutput, self};
      self->setProperty(self->component, kAudioUnitProperty_MIDIOutputCallback,
                        kAudioUnitScope_Global, 0, &output, sizeof output);
    }
  }
  if (self->component == nullptr) {
    delete self;
    ReleaseMainQueueThread();
    return nullptr;
  }
  return self;
}

void ConnectPort(LV2_Handle handle, uint32_t port, void* data) {
  auto* self = static_cast<PluginInstance*>(handle);
  if (port == KorvelLV2Port_MIDIIn) self->midiIn = static_cast<const LV2_Atom_Sequence*>(data);
  if (port == KorvelLV2Port_MIDIOut) self->midiOut = static_cast<LV2_Atom_Sequence*>(data);
}

void CallLocked(LV2_Handle handle, int16_t selector) {
  auto* self = static_cast<PluginInstance*>(handle);
  std::lock_guard lock(InstanceStateLock());
  reinterpret_cast<AudioUnitInitializeProc>(self->component->Lookup(selector))(self->component);
}
void Activate(LV2_Handle handle) { CallLocked(handle, kAudioUnitInitializeSelect); }
void Deactivate(LV2_Handle handle) { CallLocked(handle, kAudioUnitUninitializeSelect); }

void Run(LV2_Handle handle, uint32_t) {
  auto* self = static_cast<PluginInstance*>(handle);
  if (self->midiOut == nullptr) return;
  self->out.begin(self->midiOut, self->midiOut->atom.size, self->uris.atomSequence,
                  self->uris.midiEvent);
  if (self->midiIn != nullptr) {
    // Locals: the component's handler could change anything behind `self` as far as the
    // compiler knows, and would make it read every field again after each call.
    const MusicDeviceMIDIEventProc midiEvent = self->midiEvent;
    const AudioUnit component = self->component;
    const LV2_URID midiType = self->uris.midiEvent;
    // Walked by hand rather than with the atom iteration macros: some hosts hand over a
    // sequence that is only 4-byte aligned, and each event header is copied out instead
    // of being read through a misaligned pointer.
    const auto* at =
        reinterpret_cast<const uint8_t*>(&self->midiIn->body) + sizeof(LV2_Atom_Sequence_Body);
    const auto* end =
        reinterpret_cast<const uint8_t*>(&self->midiIn->body) + self->midiIn->atom.size;
    while (at + sizeof(LV2_Atom_Event) <= end) {
      LV2_Atom_Event event;
      std::memcpy(&event, at, sizeof event);
      const uint8_t* bytes = at + sizeof event;
      const uint32_t size = event.body.size;
      if (size > static_cast<size_t>(end - bytes)) break;
      at += lv2_atom_pad_size(static_cast<uint32_t>(sizeof event) + size);
      if (event.body.type != midiType) continue;
      self->currentFrame = event.time.frames;
      if (IsChannelMessage(bytes, size))
        midiEvent(component, bytes[0], bytes[1], size > 2 ? bytes[2] : 0,
                  static_cast<uint32_t>(event.time.frames));
      else
        self->out.append(event.time.frames, bytes, size);
    }
  }
  self->out.end();
}

void Cleanup(LV2_Handle handle) {
  auto* self = static_cast<PluginInstance*>(handle);
  {
    std::lock_guard lock(InstanceStateLock());
    self->component->Close(self->component);
  }
  delete self;
  ReleaseMainQueueThread();
}

const void* ExtensionData(const char* uri) {
  return std::strcmp(uri, LV2_STATE__interface) == 0 ? kStateInterface : nullptr;
}

const LV2_Descriptor kDescriptor = {KORVEL_LV2_URI, Instantiate, ConnectPort,  Activate, Run,
                                    Deactivate,     Cleanup,     ExtensionData};

}  // namespace
}  // namespace korvel::lv2

extern "C" LV2_SYMBOL_EXPORT const LV2_Descriptor* lv2_descriptor(uint32_t index) {
  return index == 0 ? &korvel::lv2::kDescriptor : nullptr;
}
