// Proves that the real-time path neither allocates nor takes any lock but pendingLock:
// this binary replaces the allocator and pthread's mutex entry points with counting
// versions, and holds every KR_UnfairLock of the code base around each real-time call, so
// that any of them taken there goes to the contended path, which the link wraps
// (--wrap=KR_LockContended) to record the lock and hand it over at once.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <malloc.h>
#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <exception>
#include <functional>
#include <new>
#include <string>

#include <plist/plist.h>

#include "component/CocoaViewInfo.h"
#include "editor/ViewABI.h"
#include "link/SharedPaths.h"
#include "localization/HXLocalization.h"
#include "tests/component/ComponentTestSupport.h"
#include "tests/support/TestSupport.h"

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

thread_local bool tObservingLocks = false;

void CountLock(const KR_UnfairLock* lock) {
  ++tLockAcquisitions;
  for (int i = 0; i < tDistinctLocks; ++i)
    if (tLocksTaken[i] == lock) return;
  if (tDistinctLocks < 8) tLocksTaken[tDistinctLocks++] = lock;
}

}  // namespace

extern KR_UnfairLock gUIDOwnerLock;

extern "C" void __real_KR_LockContended(KR_UnfairLock* lock);
extern "C" void __wrap_KR_LockContended(KR_UnfairLock* lock) {
  // The test holds the lock for the caller: the word stays 1 and the caller's unlock
  // clears it.
  if (tObservingLocks) return CountLock(lock);
  __real_KR_LockContended(lock);
}

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

// The calling thread's Nth allocation from C++ from now on fails (0: none).
thread_local long tFailAt = 0;
void* operator new(size_t n) {
  if (tFailAt > 0 && --tFailAt == 0) throw std::bad_alloc();
  if (void* p = malloc(n)) return p;
  throw std::bad_alloc();
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

  KR_UnfairLock* const everyLock[] = {&rec->pendingLock, &rec->trackNameLock,
                                      &rec->articulationLock, &gUIDOwnerLock};
  auto held = [&](auto call) {
    for (KR_UnfairLock* lock : everyLock) std::atomic_ref<uint32_t>(lock->word).store(1);
    tObservingLocks = true;
    call();
    tObservingLocks = false;
    for (KR_UnfairLock* lock : everyLock) std::atomic_ref<uint32_t>(lock->word).store(0);
  };
  tCounting = true;
  for (int round = 0; round < 2000; ++round) {
    held([&] { KR_MIDIEvent(rec.get(), 0xB0 | (round & 15), round & 127, round % 128, 0); });
    held([&] { KR_MIDIEvent(rec.get(), 0x90, round & 127, 1 + round % 127, 0); });
    held([&] { KR_MIDIEvent(rec.get(), 0xE0, 0, round & 127, 0); });
    held([&] { KR_MIDIEvent(rec.get(), 0xC0, 1, 0, 0); });
    held([&] { KR_Render(rec.get(), nullptr, nullptr, 0, 512, &list); });
  }
  tCounting = false;

  EXPECT_EQ(tAllocations, 0);
  EXPECT_EQ(tMutexLocks, 0);
  EXPECT_EQ(thruPackets, 8000);
  EXPECT_GT(tLockAcquisitions, 2000);  // the linked note-ons and changed values were queued
  ASSERT_EQ(tDistinctLocks, 1);
  EXPECT_EQ(tLocksTaken[0], &rec->pendingLock);
}

// Out of memory at any allocation inside an entry point: the host, which calls as plain C,
// gets the error status and never an exception, and the call leaves nothing half done.
// Each failure runs in a child process. nlohmann::json's destructor allocates and is
// noexcept: a failure that lands there ends the child in std::terminate (nothing the
// plug-in can prevent) and is only counted.
TEST(EntryPoints, RunningOutOfMemoryAnswersAnErrorAndChangesNothing) {
#ifdef KORVEL_SANITIZED
  GTEST_SKIP() << "the sanitizers own the allocator in this build";
#else
  korvel::test::VirtualDispatchScope dispatch;
  korvel::test::TempDir files;
  korvel::link::SetSharedFileDirectoryForTesting(files.path());
  const int records = KR_LiveRecordCount();
  korvel::test::BareRecord fresh, other;
  ASSERT_TRUE(KR_ClaimUID(other.get(), 0x0DDBA11));
  AudioUnit unit = KorvelAUFactory(nullptr);
  ASSERT_EQ(unit->Open(unit, unit), 0);
  KorvelInstance* target = fresh.get();  // the record the next call works on
  auto state = [&] {                     // what a failed call must leave as it was
    char name[kKorvelTrackNameSize];
    KR_CopyTrackName(target, name);
    const uint32_t uid = KR_Load(target->uniqueID);
    return std::to_string(uid) + (KR_UIDOwner(uid) == target ? " owned, " : " -, ") +
           std::to_string(KR_UIDOwnerRegistry().size()) + " UIDs, " +
           (target->linkTimer ? "timer, " : "") +
           std::to_string(KR_Load(target->trackChangedToken)) +
           (KR_Load(target->isConnected) ? " linked " : " ") + name;
  };
  auto restore = [&](uint32_t uid) {
    plist_t saved = plist_new_dict();
    plist_dict_set_item(saved, "tvUniqueID", plist_new_uint(uid));
    plist_dict_set_item(saved, "tvConnected", plist_new_uint(1));
    plist_dict_set_item(saved, "tvTrackName", plist_new_string("Celli"));
    const OSStatus status =
        KR_SetProperty(unit, kAudioUnitProperty_ClassInfo, 0, 0, &saved, sizeof saved);
    plist_free(saved);
    return status;
  };
  const uint32_t word = 0x0BADF00D;
  const std::pair<const char*, std::function<OSStatus()> > calls[] = {
      {"open",
       [&] {
         target = reinterpret_cast<KorvelInstance*>(KorvelAUFactory(nullptr));
         return target->plugInInterface.Open(target, &target->plugInInterface);
       }},
      {"restore", [&] { return restore(0x0CAFE001); }},
      {"restore of a UID held elsewhere", [&] { return restore(0x0DDBA11); }},
      {"UID", [&] { return KR_SetProperty(unit, kKorvelProperty_UniqueID, 0, 0, &word, 4); }},
      {"track name",
       [&] { return KR_SetProperty(unit, kKorvelProperty_TrackName, 0, 0, "Violas", 6); }},
      {"view info",
       [&] {
         AudioUnitCocoaViewInfo info{};
         uint32_t size = sizeof info;
         return KR_GetProperty(unit, kAudioUnitProperty_CocoaUI, 0, 0, &info, &size);
       }},
      {"editor",
       [&] {
         const KorvelViewFactoryInterface* f = Korvel_ViewFactoryNamed("KorvelViewFactory");
         KorvelView* view = f->uiViewForAudioUnit(unit, 340, 500);
         if (view == nullptr) return OSStatus(kAudioUnitErr_InvalidProperty);
         f->view->tick(view);
         f->view->mouseDown(view, 170, 300);
         f->view->release(view);
         return OSStatus(0);
       }},
      {"exported view info",
       [] {
         AudioUnitCocoaViewInfo info{};
         Korvel_GetCocoaUIInfo(&info);
         return OSStatus(0);
       }},
      {"lookup", [] { return OSStatus(HXLocFB("cc_label_cc", "CC") == nullptr); }},
  };
  int failures = 0, inLibrary = 0;
  for (const auto& [what, call] : calls) {
    const std::string before = state();
    for (long n = 1;; ++n, ++failures) {
      int out[2];
      ASSERT_EQ(pipe(out), 0);
      if (fork() == 0) {
        std::set_terminate([] { _exit(3); });
        std::string report = "threw into the host";
        tFailAt = n;
        try {
          const OSStatus status = call();
          const bool met = tFailAt == 0;
          tFailAt = 0;
          report = !met                                      ? "ran through"
                   : status == 0                             ? ""
                   : status != kAudioUnitErr_InvalidProperty ? "status " + std::to_string(status)
                   : state() == before                       ? ""
                                       : "left " + state() + ", was " + before;
        } catch (...) {
        }
        _exit(write(out[1], report.data(), report.size()) < 0);
      }
      close(out[1]);
      char buffer[512];
      const std::string report(buffer, std::max<ssize_t>(0, read(out[0], buffer, sizeof buffer)));
      close(out[0]);
      int status = 0;
      wait(&status);
      if (WIFEXITED(status) && WEXITSTATUS(status) == 3) {
        ++inLibrary;
        continue;
      }
      ASSERT_EQ(status, 0) << what << ", allocation " << n;
      if (report == "ran through") break;
      EXPECT_EQ(report, "") << what << ", allocation " << n;
    }
    target = reinterpret_cast<KorvelInstance*>(unit);  // after "open": the open instance
  }
  std::printf("%d allocations failed in turn, %d of them in nlohmann::json's destructor\n",
              failures, inLibrary);
  KR_ReleaseUID(other.get(), 0x0DDBA11);
  unit->Close(unit);
  dispatch.advance(std::chrono::seconds(1));
  EXPECT_EQ(KR_LiveRecordCount(), records + 2) << "only the bare records are left";
  korvel::link::SetSharedFileDirectoryForTesting(std::nullopt);
#endif
}

}  // namespace
