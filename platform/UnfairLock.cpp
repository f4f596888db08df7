#include "platform/UnfairLock.h"

extern "C" __attribute__((noinline)) void KR_LockContended(KR_UnfairLock* lock) {
  std::atomic_ref<uint32_t> word(lock->word);
  for (;;) {
    // Holders run a few instructions; a holder that was preempted is given the CPU back
    // rather than spun against for a whole time slice.
    for (int spins = 0; word.load(std::memory_order_relaxed) != 0; ++spins) {
      if (spins < 256) {
        __builtin_ia32_pause();
      } else {
        sched_yield();
        spins = 0;
      }
    }
    if (word.exchange(1, std::memory_order_acquire) == 0) return;
  }
}
