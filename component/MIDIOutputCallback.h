// The host's MIDI output callback is a pair (function, user data) that the host may
// replace from its main thread while the real-time thread calls it. A sequence word
// lets the real-time thread read a matching pair without ever taking a lock.
#ifndef KORVEL_COMPONENT_MIDIOUTPUTCALLBACK_H
#define KORVEL_COMPONENT_MIDIOUTPUTCALLBACK_H

#include "component/KorvelInstance.h"

inline AUMIDIOutputCallbackStruct KR_LoadMIDIOutputCallback(const KorvelInstance* inst) {
  std::atomic_ref<uint32_t> seq(const_cast<uint32_t&>(inst->midiOutputCallbackSeq));
  for (;;) {
    uint32_t before = seq.load(std::memory_order_acquire);
    if (before & 1) {
      __builtin_ia32_pause();
      continue;
    }
    AUMIDIOutputCallbackStruct out;
    out.midiOutputCallback = KR_Load(inst->midiOutputCallback.midiOutputCallback);
    out.userData = KR_Load(inst->midiOutputCallback.userData);
    std::atomic_thread_fence(std::memory_order_acquire);
    if (seq.load(std::memory_order_relaxed) == before) return out;
  }
}

inline void KR_StoreMIDIOutputCallback(KorvelInstance* inst, const AUMIDIOutputCallbackStruct& value) {
  std::atomic_ref<uint32_t> seq(inst->midiOutputCallbackSeq);
  uint32_t current = seq.load(std::memory_order_relaxed);
  // Writers exclude each other by moving the word from even to odd.
  while ((current & 1) || !seq.compare_exchange_weak(current, current + 1, std::memory_order_acquire)) {
    if (current & 1) current = seq.load(std::memory_order_relaxed);
  }
  std::atomic_thread_fence(std::memory_order_release);
  KR_Store(inst->midiOutputCallback.midiOutputCallback, value.midiOutputCallback);
  KR_Store(inst->midiOutputCallback.userData, value.userData);
  seq.store(current + 2, std::memory_order_release);
}

#endif
