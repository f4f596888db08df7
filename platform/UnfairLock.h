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

/* The wait for a lock that another thread holds: out of line, so that the uncontended
 * take below is one atomic exchange and the release one store. */
extern "C" void KR_LockContended(KR_UnfairLock* lock);

inline void KR_Lock(KR_UnfairLock* lock) {
  if (__builtin_expect(
          std::atomic_ref<uint32_t>(lock->word).exchange(1, std::memory_order_acquire) == 0, 1))
    return;
  KR_LockContended(lock);
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
