#include <gtest/gtest.h>

#include "tests/component/ComponentTestSupport.h"

using korvel::test::BareRecord;
using korvel::test::Queued;
using Events = std::vector<Queued>;

namespace {

// Every kind of status byte: what is queued while linked, masked to seven bits. (What
// is passed on, malformed bytes as received, is the validator's MIDI-thru phase.)
TEST(MIDIEvent, EachMessageKindIsQueuedAsItsKindRequires) {
  const std::pair<std::array<uint32_t, 3>, Events> rows[] = {
      {{0x80, 60, 64}, {}},                   // note-off
      {{0x93, 61, 90}, {{0x93, 61, 90, 3}}},  // note-on
      {{0x93, 62, 0}, {}},                    // note-on velocity 0
      {{0xA0, 60, 10}, {}},                   // poly pressure
      {{0xB5, 7, 100}, {{0xB5, 7, 100, 3}}},  // control change
      {{0xC2, 5, 77}, {}},                    // program change
      {{0xD1, 33, 99}, {{0xD1, 33, 99, 2}}},  // channel pressure
      {{0xEF, 5, 70}, {{0xEF, 5, 70, 3}}},    // pitch bend
      {{0xF8, 1, 2}, {}},                     // system
      {{0xFF, 0, 0}, {}},
      {{0x1B0, 0x81, 0xC0}, {{0xB0, 0x01, 0x40, 3}}},  // bits beyond the byte
  };
  for (const auto& [event, queued] : rows) {
    SCOPED_TRACE(testing::Message() << "status " << std::hex << event[0]);
    BareRecord rec;
    rec.link();
    rec.send(event[0], event[1], event[2]);
    EXPECT_EQ(rec.drain(), queued);
  }
}

TEST(MIDIEvent, RecordsControllersPerChannelQueuesOnlyWhileLinkedAndDeduplicates) {
  BareRecord rec;  // no thru callback either
  rec.send(0xB2, 1, 64);
  rec.send(0xB9, 1, 0);  // a zero value still marks the controller as seen
  EXPECT_EQ(KR_Load(rec->ccValues[2][1]), 64);
  EXPECT_EQ(KR_Load(rec->ccValues[0][1]), 0);
  EXPECT_EQ(KR_Load(rec->ccTriggered[1]), 1);
  rec.send(0xB0, 7, 100);
  rec.link(true, false);  // connected, not the active track: still not queued
  rec.send(0xB0, 7, 100);
  EXPECT_TRUE(rec.drain().empty());
  rec.link();
  rec.send(0xB0, 7, 100);  // values seen while unlinked are not remembered for deduplication
  rec.send(0xB0, 0x1B, 0x83);
  EXPECT_EQ(KR_Load(rec->ccValues[0][0x1B]), 3);
  EXPECT_EQ(rec.drain(), (Events{{0xB0, 7, 100, 3}, {0xB0, 0x1B, 3, 3}}));
  // Deduplicated per channel, controller and slot.
  rec.send(0xB0, 1, 64);
  rec.send(0xB0, 1, 64);  // same value: not again
  rec.send(0xB1, 1, 64);  // same value on another channel: queued
  rec.send(0xB0, 2, 64);  // another controller: queued
  rec.send(0xD0, 64, 0);  // pressure 64 lives in its own slot
  rec.send(0xD0, 64, 0);
  rec.send(0xE0, 0, 64);  // bend high byte 64: its own slot again
  rec.send(0xE0, 5, 64);  // only the low byte differs: not again
  rec.send(0xE0, 5, 65);
  EXPECT_EQ(rec.drain(), (Events{{0xB0, 1, 64, 3},
                                 {0xB1, 1, 64, 3},
                                 {0xB0, 2, 64, 3},
                                 {0xD0, 64, 0, 2},
                                 {0xE0, 0, 64, 3},
                                 {0xE0, 5, 65, 3}}));
}

TEST(MIDIEvent, KeyswitchNotesSetTheArticulationAndOtherNotesTheVelocity) {
  BareRecord rec;
  rec.setKeyswitches({24, 25, 300, -1});
  rec.link();
  rec.send(0x90, 60, 90);
  EXPECT_EQ(KR_Load(rec->lastVelocity), 90u);
  EXPECT_EQ(KR_Load(rec->activeArticulation), -1);
  rec.send(0x90, 25, 10);
  EXPECT_EQ(KR_Load(rec->activeArticulation), 25);
  EXPECT_EQ(KR_Load(rec->lastVelocity), 90u);  // a keyswitch leaves the velocity alone
  rec.send(0x80, 25, 0);                       // note-off keeps the articulation
  rec.send(0x90, 25, 0);                       // velocity 0 records nothing
  rec.send(0x90, 300 & 0x7F, 200);             // entries outside 0..127 never match
  EXPECT_EQ(KR_Load(rec->activeArticulation), 25);
  EXPECT_EQ(KR_Load(rec->lastVelocity), 200u) << "kept as received";
  EXPECT_EQ(rec.drain().size(), 3u);  // every note-on with velocity is queued, keyswitch or not
  rec.setKeyswitches({});
  rec.send(0x90, 24, 70);
  EXPECT_EQ(KR_Load(rec->lastVelocity), 70u);
}

TEST(MIDIEvent, QueueHoldsAtMost256AndAFullQueueStillRemembersTheValue) {
  BareRecord rec;
  rec.link();
  for (int i = 0; i < 300; ++i) rec.send(0x90, 60, 1 + i % 100);
  rec.send(0xB0, 1, 5);  // dropped, but remembered
  auto queued = rec.drain();
  ASSERT_EQ(queued.size(), 256u);
  EXPECT_EQ(queued.back(), (Queued{0x90, 60, 1 + 255 % 100, 3}));
  rec.send(0xB0, 1, 5);
  EXPECT_TRUE(rec.drain().empty());
}

TEST(Reset, ClearsMonitoredStateAndDeduplicationButNotQueueListOrLink) {
  BareRecord rec;
  rec.setKeyswitches({30});
  rec.link();
  rec.send(0xB3, 74, 9);
  rec.send(0x90, 30, 100);
  rec.send(0x90, 61, 99);
  KR_Reset(rec.get(), 0, 0);
  EXPECT_EQ(KR_Load(rec->activeArticulation), -1);
  EXPECT_EQ(KR_Load(rec->lastVelocity), 0u);
  EXPECT_EQ(KR_Load(rec->ccValues[3][74]), 0);
  EXPECT_EQ(KR_Load(rec->ccTriggered[74]), 0);
  EXPECT_EQ(KR_Load(rec->articulationNoteCount), 1);
  EXPECT_TRUE(KR_Load(rec->isConnected));
  EXPECT_EQ(rec.drain().size(), 3u);  // the queue survives a reset
  rec.send(0xB3, 74, 9);              // the same value is queued again after a reset
  EXPECT_EQ(rec.drain().size(), 1u);
}

}  // namespace
