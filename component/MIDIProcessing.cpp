// The real-time side of the component: every MIDI event is recorded for the editor,
// passed through to the host unchanged, and queued for the companion while the instance
// is linked to the companion's active track. Nothing here allocates, does I/O or waits
// for anything but pendingLock.
#include <cstring>

#include "component/KorvelComponent.h"
#include "platform/MIDIPacketList.h"
#include "record/MIDIOutputCallback.h"

namespace {

void PassThrough(KorvelInstance* inst, uint32_t status, uint32_t data1, uint32_t data2) {
  AUMIDIOutputCallbackStruct out = KR_LoadMIDIOutputCallback(inst);
  if (out.midiOutputCallback == nullptr) return;
  const size_t length = (status & 0xE0) == 0xC0 ? 2 : 3;
  const Byte bytes[3] = {static_cast<Byte>(status), static_cast<Byte>(data1), static_cast<Byte>(data2)};
  // On the stack, and as large as the packet-list type itself so that the host may read
  // it through that type.
  alignas(8) Byte buffer[sizeof(MIDIPacketList)];
  auto* list = reinterpret_cast<MIDIPacketList*>(buffer);
  MIDIPacket* packet = MIDIPacketListInit(list);
  MIDIPacketListAdd(list, sizeof buffer, packet, 0, length, bytes);
  AudioTimeStamp when;
  std::memset(&when, 0, sizeof when);
  out.midiOutputCallback(out.userData, &when, 0, list);
}

void Enqueue(KorvelInstance* inst, uint32_t status, uint32_t data1, uint32_t data2, uint8_t length) {
  KR_Lock(&inst->pendingLock);
  if (inst->pendingCount < kKorvelMaxPending) {
    PendingEvent& e = inst->pendingEvents[inst->pendingCount];
    e.status = static_cast<uint8_t>(status);
    e.dataByte1 = static_cast<uint8_t>(data1 & 0x7F);
    e.dataByte2 = static_cast<uint8_t>(data2 & 0x7F);
    e.length = length;
    inst->pendingCount++;
  }
  KR_Unlock(&inst->pendingLock);
}

}  // namespace

OSStatus KR_MIDIEvent(void* self, uint32_t status, uint32_t data1, uint32_t data2, uint32_t /*offset*/) {
  auto* inst = static_cast<KorvelInstance*>(self);
  const uint32_t type = status & 0xF0;
  const uint32_t channel = status & 0x0F;

  bool noteEvent = false;
  if (type == 0xB0) {
    const uint32_t controller = data1 & 0x7F;
    KR_Store(inst->ccValues[channel][controller], data2 & 0x7F);
    KR_Store(inst->ccTriggered[controller], 1);
  } else if (type == 0x90 && data2 != 0) {
    const int32_t note = static_cast<int32_t>(data1 & 0x7F);
    // The mask answers "is the note among the first articulationNoteCount entries" in
    // one look-up instead of a walk over up to 128 of them.
    if (KR_IsKeyswitch(inst, note)) {
      KR_Store(inst->activeArticulation, note);
    } else {
      KR_Store(inst->lastVelocity, data2);
    }
    noteEvent = true;
  }

  PassThrough(inst, status, data1, data2);

  if (!KR_Load(inst->isConnected) || !KR_Load(inst->isActiveTrack)) return noErr;

  if (noteEvent) {
    Enqueue(inst, status, data1, data2, 3);
    return noErr;
  }
  int slot;
  uint8_t value;
  uint8_t length;
  switch (type) {
    case 0xB0:
      slot = static_cast<int>(data1 & 0x7F), value = static_cast<uint8_t>(data2 & 0x7F), length = 3;
      break;
    case 0xD0:
      slot = kKorvelDedupSlotChannelPressure, value = static_cast<uint8_t>(data1 & 0x7F), length = 2;
      break;
    case 0xE0:
      slot = kKorvelDedupSlotPitchBend, value = static_cast<uint8_t>(data2 & 0x7F), length = 3;
      break;
    default:
      return noErr;
  }
  uint8_t& last = inst->lastQueuedValue[channel][slot];
  if (KR_Load(last) == value) return noErr;
  KR_Store(last, value);
  Enqueue(inst, status, data1, data2, length);
  return noErr;
}

OSStatus KR_Render(void* /*self*/, AudioUnitRenderActionFlags* /*flags*/, const AudioTimeStamp* /*when*/,
                   uint32_t /*bus*/, uint32_t /*frames*/, AudioBufferList* ioData) {
  if (ioData == nullptr) return noErr;
  for (uint32_t i = 0; i < ioData->mNumberBuffers; ++i) {
    AudioBuffer& buffer = ioData->mBuffers[i];
    if (buffer.mData != nullptr) std::memset(buffer.mData, 0, buffer.mDataByteSize);
  }
  return noErr;
}

OSStatus KR_Reset(void* self, AudioUnitScope /*scope*/, AudioUnitElement /*elem*/) {
  auto* inst = static_cast<KorvelInstance*>(self);
  for (auto& channel : inst->ccValues)
    for (auto& value : channel) KR_Store(value, 0);
  for (auto& flag : inst->ccTriggered) KR_Store(flag, 0);
  KR_Store(inst->activeArticulation, -1);
  KR_Store(inst->lastVelocity, 0);
  for (auto& channel : inst->lastQueuedValue)
    for (auto& value : channel) KR_Store(value, 0xFF);
  return noErr;
}
