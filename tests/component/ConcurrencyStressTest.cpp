// Many threads on one record at once, as a host, an editor, the link timer and the
// registry would: run under ThreadSanitizer it proves the shared fields race-free, and
// in every build it counts that no queued event is lost or delivered twice.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "tests/component/ComponentTestSupport.h"

namespace {

using korvel::test::BareRecord;

constexpr int kNotes = 128, kVelocities = 127;
constexpr int kEvents = 60000;

// A unique note-on for every sequence number, so the drain can tell each one apart.
void SendNumbered(KorvelInstance* inst, int i) {
  const int channel = i / (kNotes * kVelocities), rest = i % (kNotes * kVelocities);
  KR_MIDIEvent(inst, 0x90 | channel, rest / kVelocities, 1 + rest % kVelocities, 0);
}

int NumberOf(const PendingEvent& e) {
  return (e.status & 0x0F) * kNotes * kVelocities + e.dataByte1 * kVelocities + (e.dataByte2 - 1);
}

int PendingCount(KorvelInstance* inst) {
  KR_LockGuard guard(&inst->pendingLock);
  return inst->pendingCount;
}

TEST(ConcurrencyStress, QueueLosesAndDuplicatesNothingWhileEverythingElseChanges) {
  BareRecord rec;
  rec.link();
  AUMIDIOutputCallbackStruct cb{
      [](void*, const AudioTimeStamp*, uint32_t, const MIDIPacketList*) -> OSStatus { return 0; },
      nullptr};
  KR_SetProperty(rec.get(), kAudioUnitProperty_MIDIOutputCallback, 0, 0, &cb, sizeof cb);

  std::atomic<bool> counted{false};  // the numbered phase is over
  std::atomic<bool> producerDone{false};
  std::atomic<bool> stop{false};

  std::thread producer([&] {
    // Numbered phase: the link stays up, and an event is sent only while the queue has
    // room (only this thread adds, so room seen stays room), so each must arrive once.
    for (int i = 0; i < kEvents; ++i) {
      while (PendingCount(rec.get()) >= kKorvelMaxPending) std::this_thread::yield();
      SendNumbered(rec.get(), i);
      if (i % 512 == 0) KR_MIDIEvent(rec.get(), 0xB0, i & 127, (i >> 7) & 127, 0);
    }
    counted = true;
    // Free phase: the link flags now really flip while events keep coming.
    for (int i = 0; i < 20000; ++i)
      KR_MIDIEvent(rec.get(), 0xB0 | (i & 15), i & 127, (i >> 3) & 127, 0);
    producerDone = true;
  });

  std::vector<uint8_t> seen(kEvents, 0);
  long duplicates = 0, notes = 0;
  std::thread consumer([&] {
    PendingEvent events[kKorvelMaxPending];
    for (;;) {
      const bool done = producerDone.load();
      const int n = KR_DrainPending(rec.get(), events);
      for (int k = 0; k < n; ++k) {
        if ((events[k].status & 0xF0) != 0x90) continue;
        ++notes;
        if (seen[NumberOf(events[k])]++) ++duplicates;
      }
      if (done && n == 0) break;
    }
  });

  std::thread editor([&] {
    std::vector<int32_t> keys(128);
    for (int round = 0; !stop; ++round) {
      for (int k = 0; k < 128; ++k) keys[k] = (k + round) % 140;
      KR_SetProperty(rec.get(), kKorvelProperty_ArticulationNotes, 0, 0, keys.data(),
                     4 * (round % 129));
      const uint32_t flag = counted ? (round & 1) : 1;
      KR_SetProperty(rec.get(), kKorvelProperty_ActiveTrack, 0, 0, &flag, 4);
      KR_Store(rec->isConnected, counted ? (round >> 1) & 1 : 1);
      uint8_t values[2048];
      uint32_t size = sizeof values;
      KR_GetProperty(rec.get(), kKorvelProperty_CCValues, 0, 0, values, &size);
      AUMIDIOutputCallbackStruct again{cb.midiOutputCallback,
                                       reinterpret_cast<void*>(uintptr_t(round & 1))};
      KR_SetProperty(rec.get(), kAudioUnitProperty_MIDIOutputCallback, 0, 0, &again, sizeof again);
    }
  });

  std::vector<std::unique_ptr<BareRecord>> others;
  for (int t = 0; t < 2; ++t) others.push_back(std::make_unique<BareRecord>());
  std::vector<std::thread> registry;
  for (int t = 0; t < 2; ++t) {
    registry.emplace_back([&, t] {
      KorvelInstance* mine = t == 0 ? rec.get() : others[0]->get();
      KorvelInstance* rival = others[1]->get();
      const uint32_t contested = 0x4B525600u + t;
      while (!stop) {
        KR_AssignFreshUID(mine);
        KR_SetUniqueIDKeepingRegistry(mine, contested);
        KR_SetUniqueIDKeepingRegistry(rival, contested);
        KR_ReleaseUID(rival, contested);
        uint8_t header[7];
        KR_CopySysExHeader(mine, header);
      }
    });
  }

  producer.join();
  consumer.join();
  stop = true;
  editor.join();
  for (auto& t : registry) t.join();

  EXPECT_EQ(duplicates, 0);
  EXPECT_EQ(notes, kEvents);
  EXPECT_EQ(std::count(seen.begin(), seen.end(), 1), kEvents);
  // Every record's header still names its own UID, and the registry agrees.
  for (KorvelInstance* inst : {rec.get(), others[0]->get(), others[1]->get()}) {
    const uint32_t uid = KR_Load(inst->uniqueID);
    EXPECT_EQ(inst->sysexHeader[2], uid >> 28);
    EXPECT_EQ(inst->sysexHeader[6], uid & 0x7F);
    if (uid != 0) {
      EXPECT_EQ(KR_UIDOwner(uid), inst);
    }
    KR_ReleaseUID(inst, uid);
  }
}

}  // namespace
