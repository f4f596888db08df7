/*
 * A lock whose holders run a few instructions (the platform's os_unfair_lock): one
 * 32-bit word, zero when unlocked, so a zero-filled record starts unlocked. Waiters
 * spin (yielding the CPU when the holder seems preempted); they never block in the
 * kernel on the lock, so the real-time thread may take it.
 */
#pragma once

#include <sched.h>

#include <atomic>
#include <cstdint>

struct KR_UnfairLock {
  uint32_t word;
};
static_assert(sizeof(KR_UnfairLock) == 4);

namespace korvel::platform {
/* Test hook: when set, called on every acquisition of any KR_UnfairLock by the calling
 * thread. Lets a test prove which locks a code path takes. */
using LockObserver = void (*)(const KR_UnfairLock*);
/* Initial-exec: in the dlopen'ed plug-in the default model would reach the variable
 * through __tls_get_addr, which allocates the module's TLS block on a thread's first
 * access, and that first access may be the real-time thread's first KR_Lock. */
extern thread_local LockObserver tlsLockObserver __attribute__((tls_model("initial-exec")));
}  // namespace korvel::platform

inline void KR_Lock(KR_UnfairLock* lock) {
  if (auto observe = korvel::platform::tlsLockObserver) observe(lock);
  std::atomic_ref<uint32_t> word(lock->word);
  for (;;) {
    if (word.exchange(1, std::memory_order_acquire) == 0) return;
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
  }
}

inline void KR_Unlock(KR_UnfairLock* lock) {
  std::atomic_ref<uint32_t>(lock->word).store(0, std::memory_order_release);
}

/* RAII for the C++ layers around the component. */
class KR_LockGuard {
 public:
  explicit KR_LockGuard(KR_UnfairLock* lock) : lock_(lock) { KR_Lock(lock_); }
  ~KR_LockGuard() { KR_Unlock(lock_); }
  KR_LockGuard(const KR_LockGuard&) = delete;
  KR_LockGuard& operator=(const KR_LockGuard&) = delete;

 private:
  KR_UnfairLock* lock_;
};
