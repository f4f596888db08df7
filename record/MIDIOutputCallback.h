// The host's MIDI output callback is a pair (function, user data) that the host may
// replace from its main thread while the real-time thread calls it. A sequence word
// lets the real-time thread read a matching pair without ever taking a lock.
#pragma once

#include "record/KorvelInstance.h"

inline AUMIDIOutputCallbackStruct KR_LoadMIDIOutputCallback(const KorvelInstance* inst) {
  std::atomic_ref<uint32_t> seq(const_cast<uint32_t&>(inst->midiOutputCallbackSeq));
  for (;;) {
    uint32_t before = seq.load(std::memory_order_acquire);
    if (before & 1) {
      __builtin_ia32_pause();
      continue;
    }
    // Acquire loads: a value from a writer that has begun makes the second read of the
    // sequence word see that writer's odd mark, so a mixed pair is never returned.
    AUMIDIOutputCallbackStruct out;
    out.midiOutputCallback =
        std::atomic_ref<AUMIDIOutputCallback>(
            const_cast<AUMIDIOutputCallback&>(inst->midiOutputCallback.midiOutputCallback))
            .load(std::memory_order_acquire);
    out.userData = std::atomic_ref<void*>(const_cast<void*&>(inst->midiOutputCallback.userData))
                       .load(std::memory_order_acquire);
    if (seq.load(std::memory_order_relaxed) == before) return out;
  }
}

inline void KR_StoreMIDIOutputCallback(KorvelInstance* inst,
                                       const AUMIDIOutputCallbackStruct& value) {
  std::atomic_ref<uint32_t> seq(inst->midiOutputCallbackSeq);
  uint32_t current = seq.load(std::memory_order_relaxed);
  // Writers exclude each other by moving the word from even to odd.
  while ((current & 1) ||
         !seq.compare_exchange_weak(current, current + 1, std::memory_order_acquire)) {
    if (current & 1) current = seq.load(std::memory_order_relaxed);
  }
  std::atomic_ref<AUMIDIOutputCallback>(inst->midiOutputCallback.midiOutputCallback)
      .store(value.midiOutputCallback, std::memory_order_release);
  std::atomic_ref<void*>(inst->midiOutputCallback.userData)
      .store(value.userData, std::memory_order_release);
  seq.store(current + 2, std::memory_order_release);
}
