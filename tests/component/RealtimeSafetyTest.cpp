// Proves that the real-time path neither allocates nor takes any lock but pendingLock:
// this binary replaces the allocator and pthread's mutex entry points with counting
// versions and observes every KR_UnfairLock acquisition on the calling thread.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <malloc.h>
#include <pthread.h>

#include <atomic>

#include "tests/component/ComponentTestSupport.h"

extern "C" void* __libc_malloc(size_t);
extern "C" void* __libc_calloc(size_t, size_t);
extern "C" void* __libc_realloc(void*, size_t);
extern "C" void* __libc_memalign(size_t, size_t);

namespace {
thread_local bool tCounting = false;
thread_local long tAllocations = 0;
thread_local long tMutexLocks = 0;
// Fixed storage: the observer itself must not allocate.
thread_local const KR_UnfairLock* tLocksTaken[8];
thread_local int tDistinctLocks = 0;
thread_local long tLockAcquisitions = 0;

void CountLock(const KR_UnfairLock* lock) {
  ++tLockAcquisitions;
  for (int i = 0; i < tDistinctLocks; ++i)
    if (tLocksTaken[i] == lock) return;
  if (tDistinctLocks < 8) tLocksTaken[tDistinctLocks++] = lock;
}

}  // namespace

#ifndef KORVEL_SANITIZED
namespace {
using MutexFn = int (*)(pthread_mutex_t*);
MutexFn RealMutex(const char* name) { return reinterpret_cast<MutexFn>(dlsym(RTLD_NEXT, name)); }
}  // namespace

extern "C" {
void* malloc(size_t n) {
  if (tCounting) ++tAllocations;
  return __libc_malloc(n);
}
void* calloc(size_t n, size_t m) {
  if (tCounting) ++tAllocations;
  return __libc_calloc(n, m);
}
void* realloc(void* p, size_t n) {
  if (tCounting) ++tAllocations;
  return __libc_realloc(p, n);
}
void* memalign(size_t a, size_t n) {
  if (tCounting) ++tAllocations;
  return __libc_memalign(a, n);
}
int pthread_mutex_lock(pthread_mutex_t* m) {
  if (tCounting) ++tMutexLocks;
  static MutexFn real = RealMutex("pthread_mutex_lock");
  return real(m);
}
int pthread_mutex_trylock(pthread_mutex_t* m) {
  if (tCounting) ++tMutexLocks;
  static MutexFn real = RealMutex("pthread_mutex_trylock");
  return real(m);
}
}
#endif

namespace {

using korvel::test::BareRecord;
using korvel::test::ThruCapture;

OSStatus CountingThru(void* user, const AudioTimeStamp*, uint32_t, const MIDIPacketList* list) {
  *static_cast<long*>(user) += list->numPackets;
  return 0;
}

TEST(RealtimePath, AllocatesNothingAndTakesOnlyThePendingLock) {
#ifdef KORVEL_SANITIZED
  GTEST_SKIP() << "the sanitizers own the allocator in this build";
#endif
  BareRecord rec;
  long thruPackets = 0;
  AUMIDIOutputCallbackStruct cb{&CountingThru, &thruPackets};
  KR_SetProperty(rec.get(), kAudioUnitProperty_MIDIOutputCallback, 0, 0, &cb, sizeof cb);
  std::vector<int32_t> keys(128);
  for (int i = 0; i < 128; ++i) keys[i] = i < 64 ? i : 200;
  rec.setKeyswitches(keys);
  rec.link();
  float samples[512] = {};
  AudioBufferList list{1, {{1, sizeof samples, samples}}};

  // Sanity check that the counters see what they should.
  tCounting = true;
  void* probe = malloc(16);
  tCounting = false;
  free(probe);
  ASSERT_EQ(tAllocations, 1);
  tAllocations = 0;

  korvel::platform::tlsLockObserver = CountLock;
  tCounting = true;
  for (int round = 0; round < 2000; ++round) {
    KR_MIDIEvent(rec.get(), 0xB0 | (round & 15), round & 127, round % 128, 0);
    KR_MIDIEvent(rec.get(), 0x90, round & 127, 1 + round % 127, 0);
    KR_MIDIEvent(rec.get(), 0xE0, 0, round & 127, 0);
    KR_MIDIEvent(rec.get(), 0xC0, 1, 0, 0);
    KR_Render(rec.get(), nullptr, nullptr, 0, 512, &list);
  }
  tCounting = false;
  korvel::platform::tlsLockObserver = nullptr;

  EXPECT_EQ(tAllocations, 0);
  EXPECT_EQ(tMutexLocks, 0);
  EXPECT_EQ(thruPackets, 8000);
  EXPECT_GT(tLockAcquisitions, 2000);  // the linked note-ons and changed values were queued
  ASSERT_EQ(tDistinctLocks, 1);
  EXPECT_EQ(tLocksTaken[0], &rec->pendingLock);
}

}  // namespace
