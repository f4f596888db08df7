// The real-time side of the component: every MIDI event is recorded for the editor,
// passed through to the host unchanged, and queued for the companion while the instance
// is linked to the companion's active track. Nothing here allocates, does I/O or waits
// for anything but pendingLock.
#include <cstring>

#include "component/KorvelComponent.h"
#include "platform/MIDIPacketList.h"
#include "record/MIDIOutputCallback.h"

namespace {

/* A thru packet goes out "now", at the frame of the event being handled: its time stamp is
 * all zero, and one shared stamp serves every call instead of one cleared per event. */
constexpr AudioTimeStamp kThruTime{};

OSStatus PassThrough(KorvelInstance* inst, uint32_t status, uint32_t data1, uint32_t data2) {
  AUMIDIOutputCallbackStruct out = KR_LoadMIDIOutputCallback(inst);
  if (out.midiOutputCallback == nullptr) return noErr;
  // On the stack, and as large as the packet-list type itself so that the host may read
  // it through that type.
  alignas(8) Byte buffer[sizeof(MIDIPacketList)];
  auto* list = reinterpret_cast<MIDIPacketList*>(buffer);
  MIDIPacketListSetShortMessage(list, (status & 0xE0) == 0xC0 ? 2 : 3, status, data1, data2);
  out.midiOutputCallback(out.userData, &kThruTime, 0, list);
  return noErr;
}

/* A queue entry as the four bytes of a PendingEvent; never 0, since a status byte is. */
uint32_t PackEntry(uint32_t status, uint32_t data1, uint32_t data2, uint8_t length) {
  const PendingEvent e{static_cast<uint8_t>(status), static_cast<uint8_t>(data1 & 0x7F),
                       static_cast<uint8_t>(data2 & 0x7F), length};
  uint32_t packed;
  std::memcpy(&packed, &e, sizeof packed);
  return packed;
}

/* Under the lock only the bounds test, one four-byte store and the count. */
OSStatus Enqueue(KorvelInstance* inst, uint32_t entry) {
  KR_Lock(&inst->pendingLock);
  const int32_t count = inst->pendingCount;
  if (count < kKorvelMaxPending) {
    std::memcpy(&inst->pendingEvents[count], &entry, sizeof entry);
    inst->pendingCount = count + 1;
  }
  KR_Unlock(&inst->pendingLock);
  return noErr;
}

__attribute__((noinline)) OSStatus PassThroughThenEnqueue(KorvelInstance* inst, uint32_t status,
                                                          uint32_t data1, uint32_t data2,
                                                          uint32_t entry) {
  PassThrough(inst, status, data1, data2);
  return Enqueue(inst, entry);
}

/* The event of a linked instance: passed on, then queued for the companion. What to queue
 * is decided first, so that both ways end in a tail call. */
__attribute__((noinline)) OSStatus PassThroughAndQueue(KorvelInstance* inst, uint32_t status,
                                                       uint32_t data1, uint32_t data2,
                                                       bool noteEvent) {
  uint32_t entry = 0;
  if (noteEvent) {
    entry = PackEntry(status, data1, data2, 3);
  } else {
    int slot;
    uint8_t value;
    uint8_t length;
    switch (status & 0xF0) {
      case 0xB0:
        slot = static_cast<int>(data1 & 0x7F), value = static_cast<uint8_t>(data2 & 0x7F),
        length = 3;
        break;
      case 0xD0:
        slot = kKorvelDedupSlotChannelPressure, value = static_cast<uint8_t>(data1 & 0x7F),
        length = 2;
        break;
      case 0xE0:
        slot = kKorvelDedupSlotPitchBend, value = static_cast<uint8_t>(data2 & 0x7F), length = 3;
        break;
      default:
        slot = -1, value = 0, length = 0;
        break;
    }
    if (slot >= 0) {
      uint8_t& last = inst->lastQueuedValue[status & 0x0F][slot];
      if (KR_Load(last) != value) {
        KR_Store(last, value);
        entry = PackEntry(status, data1, data2, length);
      }
    }
  }
  if (entry == 0) return PassThrough(inst, status, data1, data2);
  return PassThroughThenEnqueue(inst, status, data1, data2, entry);
}

}  // namespace

OSStatus KR_MIDIEvent(void* self, uint32_t status, uint32_t data1, uint32_t data2,
                      uint32_t /*offset*/) {
  auto* inst = static_cast<KorvelInstance*>(self);
  const uint32_t type = status & 0xF0;
  const uint32_t channel = status & 0x0F;

  const bool noteEvent = type == 0x90 && data2 != 0;
  if (type == 0xB0) {
    const uint32_t controller = data1 & 0x7F;
    KR_Store(inst->ccValues[channel][controller], data2 & 0x7F);
    KR_Store(inst->ccTriggered[controller], 1);
  } else if (noteEvent) {
    // A keyswitch sets the articulation, any other note the velocity: one mask look-up
    // and one store, the target chosen without a branch.
    const uint32_t note = data1 & 0x7F;
    const bool keyswitch = KR_IsKeyswitch(inst, static_cast<int32_t>(note));
    uint32_t* target =
        keyswitch ? reinterpret_cast<uint32_t*>(&inst->activeArticulation) : &inst->lastVelocity;
    KR_Store(*target, keyswitch ? note : data2);
  }

  // The flags are read before the event is passed on, so that both ways end in a tail
  // call and the unlinked one keeps nothing for later.
  if (!((KR_Load(inst->isConnected) != 0) & (KR_Load(inst->isActiveTrack) != 0))) {
    return PassThrough(inst, status, data1, data2);
  }
  return PassThroughAndQueue(inst, status, data1, data2, noteEvent);
}

OSStatus KR_Render(void* /*self*/, AudioUnitRenderActionFlags* /*flags*/,
                   const AudioTimeStamp* /*when*/, uint32_t /*bus*/, uint32_t /*frames*/,
                   AudioBufferList* ioData) {
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
