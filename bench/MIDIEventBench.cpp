// KR_MIDIEvent against a bare function that does only what any MIDI thru must: build the
// same one-packet list on the stack and call the same host callback.
#include <benchmark/benchmark.h>

#include <cstring>

#include "component/KorvelComponent.h"
#include "platform/MIDIPacketList.h"

namespace {

OSStatus Sink(void* user, const AudioTimeStamp*, uint32_t, const MIDIPacketList* list) {
  *static_cast<uint32_t*>(user) += list->packet[0].data[1];
  return 0;
}

uint32_t gSink = 0;

__attribute__((noipa)) OSStatus BareThru(AUMIDIOutputCallbackStruct* out, uint32_t status,
                                         uint32_t d1, uint32_t d2) {
  static constexpr AudioTimeStamp kNow{};
  alignas(8) Byte buffer[sizeof(MIDIPacketList)];
  auto* list = reinterpret_cast<MIDIPacketList*>(buffer);
  MIDIPacketListSetShortMessage(list, (status & 0xE0) == 0xC0 ? 2 : 3, status, d1, d2);
  return out->midiOutputCallback(out->userData, &kNow, 0, list);
}

struct Record {
  KorvelInstance* inst;
  explicit Record(bool linked, int keyswitches = 0) {
    inst = reinterpret_cast<KorvelInstance*>(KorvelAUFactory(nullptr));
    KR_Reset(inst, 0, 0);
    AUMIDIOutputCallbackStruct cb{&Sink, &gSink};
    KR_SetProperty(inst, kAudioUnitProperty_MIDIOutputCallback, 0, 0, &cb, sizeof cb);
    KR_Store(inst->isConnected, linked);
    KR_Store(inst->isActiveTrack, linked);
    int32_t notes[128];
    // Keyswitches sit at the end of the list so that matching walks the whole of it.
    for (int i = 0; i < 128; ++i) notes[i] = 127 - i;
    if (keyswitches)
      KR_SetProperty(inst, kKorvelProperty_ArticulationNotes, 0, 0, notes, 4 * keyswitches);
  }
  ~Record() { KR_Release(inst); }
  void drainIfFull() {
    if (inst->pendingCount >= 200) {
      PendingEvent events[kKorvelMaxPending];
      KR_DrainPending(inst, events);
    }
  }
};

void BM_Baseline_Thru(benchmark::State& state) {
  AUMIDIOutputCallbackStruct cb{&Sink, &gSink};
  uint32_t i = 0;
  for (auto _ : state) {
    BareThru(&cb, 0xB0, 1, i++ & 127);
  }
}
BENCHMARK(BM_Baseline_Thru);

void BM_MIDIEvent_CC_Unlinked(benchmark::State& state) {
  Record r(false);
  uint32_t i = 0;
  for (auto _ : state) KR_MIDIEvent(r.inst, 0xB0, 1, i++ & 127, 0);
}
BENCHMARK(BM_MIDIEvent_CC_Unlinked);

// Linked, every value new: each event is queued. The queue is emptied every 200 events
// inside the timing, as the link tick would (about 0.2 ns an event): pausing the timer
// instead costs two clock reads, more than the event itself.
void BM_MIDIEvent_CC_Linked_Queued(benchmark::State& state) {
  Record r(true);
  uint32_t i = 0;
  for (auto _ : state) {
    KR_MIDIEvent(r.inst, 0xB0, 1, i++ & 127, 0);
    r.drainIfFull();
  }
}
BENCHMARK(BM_MIDIEvent_CC_Linked_Queued);

// Linked, the same value again and again (a held wheel): every event is a de-dup hit.
void BM_MIDIEvent_CC_Linked_DedupHit(benchmark::State& state) {
  Record r(true);
  for (auto _ : state) KR_MIDIEvent(r.inst, 0xB0, 1, 64, 0);
}
BENCHMARK(BM_MIDIEvent_CC_Linked_DedupHit);

void BM_MIDIEvent_NoteOn_128Keyswitches(benchmark::State& state) {
  Record r(false, 128);
  uint32_t i = 0;
  for (auto _ : state)
    KR_MIDIEvent(r.inst, 0x90, 60 + (i++ & 3), 100, 0);  // never a keyswitch: full scan
}
BENCHMARK(BM_MIDIEvent_NoteOn_128Keyswitches);

}  // namespace

BENCHMARK_MAIN();
