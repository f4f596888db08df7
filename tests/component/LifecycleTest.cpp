#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "interface/CompanionProtocol.h"
#include "platform/Notify.h"
#include "tests/component/ComponentTestSupport.h"
#include "tests/support/TestSupport.h"

using namespace std::chrono_literals;

namespace {

KorvelInstance* OpenInstance() {
  auto* iface = KorvelAUFactory(nullptr);
  EXPECT_NE(iface, nullptr);
  EXPECT_EQ(iface->Open(iface, iface), 0);
  return reinterpret_cast<KorvelInstance*>(iface);
}

void CloseInstance(KorvelInstance* inst) { EXPECT_EQ(inst->plugInInterface.Close(inst), 0); }

TEST(Lookup, HandsOutTheSelectorTableAndNothingElse) {
  auto* iface = KorvelAUFactory(nullptr);
  auto* inst = reinterpret_cast<KorvelInstance*>(iface);
  EXPECT_EQ(reinterpret_cast<void*>(iface), reinterpret_cast<void*>(inst));
  EXPECT_EQ(iface->reserved, nullptr);
  for (int16_t selector : {0, 8, 12, 13, 15, 16, 19, 259, -1})
    EXPECT_EQ(iface->Lookup(selector), nullptr) << selector;
  for (int16_t selector : {1, 2, 3, 4, 5, 6, 7, 9, 10, 11, 17, 18, 0x102})
    EXPECT_NE(iface->Lookup(selector), nullptr) << selector;
  EXPECT_EQ(iface->Lookup(0x101), reinterpret_cast<AudioComponentMethod>(KR_MIDIEvent));
  EXPECT_EQ(iface->Lookup(14), reinterpret_cast<AudioComponentMethod>(KR_Render));

  auto getParam =
      reinterpret_cast<AudioUnitGetParameterProc>(iface->Lookup(kAudioUnitGetParameterSelect));
  AudioUnitParameterValue value = 5.0f;
  EXPECT_EQ(getParam(iface, 0xFFFFFFFF, 7, 99, &value), 0);
  EXPECT_EQ(value, 0.0f);
  reinterpret_cast<AudioUnitInitializeProc>(iface->Lookup(kAudioUnitInitializeSelect))(iface);
  EXPECT_EQ(inst->initialized, 1);
  reinterpret_cast<AudioUnitUninitializeProc>(iface->Lookup(kAudioUnitUninitializeSelect))(iface);
  EXPECT_EQ(inst->initialized, 0);
  KR_Release(inst);  // never opened: only the host's reference to drop
}

class Lifecycle : public ::testing::Test {
 protected:
  korvel::test::ActiveTrackFilesGuard activeFiles_;
  korvel::test::VirtualDispatchScope clock_;
};

TEST_F(Lifecycle, OpenRegistersAFreshUIDThatCloseGivesBack) {
  KorvelInstance* a = OpenInstance();
  KorvelInstance* b = OpenInstance();
  const uint32_t uidA = KR_Load(a->uniqueID);
  EXPECT_NE(uidA, 0u);
  EXPECT_EQ(korvel::link::DecodeUID(a->sysexHeader + 2), uidA);
  EXPECT_EQ(a->streamFormat.mSampleRate, 48000.0);
  EXPECT_EQ(KR_Load(a->activeArticulation), -1);
  KR_Store(a->isConnected, 1);
  KR_Store(a->isActiveTrack, 1);
  KR_MIDIEvent(a, 0xB0, 1, 0, 0);
  PendingEvent events[kKorvelMaxPending];
  EXPECT_EQ(KR_DrainPending(a, events), 1) << "the first value, even 0, is no duplicate";
  EXPECT_NE(KR_Load(a->midiOutPort), 0u);  // no JACK server in this test: a handle all the same
  EXPECT_NE(a->linkTimer, nullptr);
  EXPECT_NE(uidA, KR_Load(b->uniqueID));
  EXPECT_FALSE(KR_SetUniqueIDKeepingRegistry(b, uidA));
  CloseInstance(a);
  EXPECT_TRUE(KR_SetUniqueIDKeepingRegistry(b, uidA));
  CloseInstance(b);
  clock_.advance(1s);
  EXPECT_EQ(KR_UIDOwner(uidA), nullptr);
}

// Closing while the one-shot task is still pending, while a track-changed handler is
// queued and between ticks: the record is freed only after all of them let go; ASan
// reports any touch of freed memory.
TEST_F(Lifecycle, CloseNeverLeavesWorkThatTouchesAFreedRecordAndFreesEveryRecord) {
  const int before = KR_LiveRecordCount();
  for (int i = 0; i < 40; ++i) {
    KorvelInstance* inst = OpenInstance();
    clock_.advance(
        std::chrono::milliseconds(10 * (i % 20)));  // close at different points of the schedule
    if (i % 2 == 1) {
      // Let the companion's notification reach the main queue, then close before it runs.
      const size_t queued = clock_.dispatcher().pendingCount();
      ASSERT_TRUE(korvel::platform::NotifyPost(korvel::link::kTrackChangedNotification));
      ASSERT_TRUE(
          korvel::test::WaitUntil([&] { return clock_.dispatcher().pendingCount() > queued; }));
    }
    CloseInstance(inst);
  }
  EXPECT_GT(KR_LiveRecordCount(), before);  // the pending one-shot tasks still hold some
  clock_.advance(1s);
  EXPECT_EQ(clock_.dispatcher().pendingCount(), 0u);
  EXPECT_EQ(KR_LiveRecordCount(), before);
}

}  // namespace

// Closing under the system dispatcher while ticks run on the utility queue and the main
// queue holds the one-shot tasks and a posted notification: run under TSan and ASan.
TEST(LifecycleRealThreads, CloseRacesTicksTasksAndNotifications) {
  korvel::test::ActiveTrackFilesGuard activeFiles;
  const int before = KR_LiveRecordCount();
  std::vector<KorvelInstance*> open;
  for (int round = 0; round < 30; ++round) {
    open.push_back(OpenInstance());
    if (round % 3 == 0) korvel::platform::NotifyPost(korvel::link::kTrackChangedNotification);
    if (round % 2 == 0) {
      CloseInstance(open.front());
      open.erase(open.begin());
    }
    // Not a wait for anything: it varies where in the tick schedule the next close lands.
    std::this_thread::sleep_for(std::chrono::milliseconds(round % 7 * 5));
    Korvel_RunMainQueue();
  }
  for (auto* inst : open) CloseInstance(inst);
  // Every record is freed once its one-shot task, cancel handler and notification
  // release have run.
  EXPECT_TRUE(korvel::test::WaitUntil([&] {
    Korvel_RunMainQueue();
    return KR_LiveRecordCount() == before;
  }));
}
