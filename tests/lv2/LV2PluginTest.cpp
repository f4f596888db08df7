// The LV2 plug-in in a lilv host inside this process, with no JACK server: MIDI thru,
// UIDs across save and restore, and the main-queue thread's life.
#include <dirent.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <memory>

#include "host/verify/AllocationCounter.h"
#include "interface/CompanionProtocol.h"
#include "interface/KorvelProperties.h"
#include "platform/Notify.h"
#include "tests/lv2/LV2TestHost.h"
#include "tests/support/TestSupport.h"

namespace korvel::test {
namespace {

constexpr AudioUnitPropertyID kCCValues = kKorvelProperty_CCValues,
                              kUniqueID = kKorvelProperty_UniqueID,
                              kConnected = kKorvelProperty_Connected,
                              kTrackName = kKorvelProperty_TrackName,
                              kActiveTrack = kKorvelProperty_ActiveTrack;
const uint32_t kOne = 1;

class LV2PluginTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    setenv("JACK_DEFAULT_SERVER", "korvel-lv2-test-no-server", 1);
    setenv("JACK_NO_START_SERVER", "1", 1);
  }
  std::unique_ptr<LV2Instance> make(size_t misalign = 0) {
    return std::make_unique<LV2Instance>(world_, misalign);
  }
  LV2World world_;
};

bool MainQueueThreadRuns() {
  std::unique_ptr<DIR, int (*)(DIR*)> tasks(opendir("/proc/self/task"), closedir);
  std::string comm;
  while (dirent* task = readdir(tasks.get()))
    if (std::getline(std::ifstream(std::string("/proc/self/task/") + task->d_name + "/comm"),
                     comm) &&
        comm == "korvel-lv2-main")
      return true;
  return false;
}

TEST_F(LV2PluginTest, MIDIOutIsMIDIInFrameForFrameWithinTheHostsCapacityWithoutAllocating) {
  const std::vector<TimedMIDI> block = {{0, {0x90, 0x3C, 0x64}},
                                        {0, {0xB2, 0x01, 0x40}},
                                        {5, {0xC3, 0x07}},
                                        {5, {0xD1, 0x33}},
                                        {10, {0xE0, 0x00, 0x40}},
                                        {12, {0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7}},
                                        {12, {0xF8}},
                                        {20, {0xFA}},
                                        {30, {0xF1, 0x25}},
                                        {40, {0xF6}},
                                        {100, {0x80, 0x3C, 0x00}},
                                        {255, {0xFC}}};
  // Buffers at 4 mod 8 as well: some hosts offer no more alignment than that.
  for (size_t misalign : {0, 4}) {
    SCOPED_TRACE(misalign);
    auto plugin = make(misalign);
    plugin->prepare(block);
    korvel::host::ThreadAllocationCount allocations;
    plugin->run();
    const uint64_t allocated = allocations.count();
    EXPECT_EQ(plugin->output(), block);
    EXPECT_EQ(korvel::host::AllocationCountingAvailable() ? allocated : 0, 0u);
    // Channel messages went through the component: it recorded the controller.
    uint8_t cc[2048] = {};
    uint32_t size = sizeof cc;
    AudioUnitGetProperty(plugin->unit(), kCCValues, 0, 0, cc, &size);
    EXPECT_EQ(cc[2 * 128 + 1], 0x40);

    // Room for the sequence header and two 3-byte events (24 bytes each, padded): the rest
    // is dropped and nothing is written past the capacity.
    const uint32_t capacity = sizeof(LV2_Atom_Sequence_Body) + 2 * 24 + 20;
    plugin->prepare(block, capacity);
    plugin->run();
    EXPECT_EQ(plugin->output(), std::vector<TimedMIDI>(block.begin(), block.begin() + 2));
    for (uint32_t i = sizeof(LV2_Atom) + capacity; i < LV2Instance::kBufferBytes; ++i)
      ASSERT_EQ(plugin->outBuffer()[i], 0xAA) << i;
  }
}

TEST_F(LV2PluginTest, SavedUIDComesBackOnlyWhenNoLiveInstanceHoldsIt) {
  auto first = make(), second = make();
  EXPECT_NE(first->property(kUniqueID), second->property(kUniqueID));
  const uint32_t uid = 0x9ABCDEF0;  // above 0x7FFFFFFF: saved as a negative Int
  AudioUnitSetProperty(first->unit(), kUniqueID, 0, 0, &uid, 4);
  AudioUnitSetProperty(first->unit(), kTrackName, 0, 0, "Celli", 5);
  AudioUnitSetProperty(first->unit(), kConnected, 0, 0, &kOne, 4);
  const LV2State saved = first->save();
  const auto value = [&](const char* key) {
    return saved.at(world_.map(std::string("urn:korvel:lv2#") + key));
  };
  const auto integer = [&](int32_t v) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(&v);
    return std::make_pair(world_.map(LV2_ATOM__Int), std::vector<uint8_t>(bytes, bytes + 4));
  };
  EXPECT_EQ(value("tvUniqueID"), integer(static_cast<int32_t>(uid)));
  EXPECT_EQ(value("tvConnected"), integer(1));
  EXPECT_EQ(value("tvTrackName"), std::make_pair(world_.map(LV2_ATOM__String),
                                                 std::vector<uint8_t>{'C', 'e', 'l', 'l', 'i', 0}));
  EXPECT_EQ(second->save().count(world_.map("urn:korvel:lv2#tvTrackName")), 0u);

  // The first instance still holds the UID: a copy of its state takes the duplicate path.
  auto copy = make();
  ::testing::internal::CaptureStderr();
  copy->restore(saved);
  const std::string log = ::testing::internal::GetCapturedStderr();
  const uint32_t fresh = copy->property(kUniqueID);
  EXPECT_NE(fresh, uid);
  EXPECT_NE(
      log.find("Korvel: duplicated UID 9ABCDEF0 detected, assigned fresh UID " + HexUID(fresh)),
      std::string::npos);
  EXPECT_EQ(copy->property(kConnected), 0u);
  EXPECT_EQ(copy->property(kTrackName) & 0xFF, 0u);

  // Once it is gone, the saved UID and link come back.
  first.reset();
  auto reloaded = make();
  reloaded->restore(saved);
  EXPECT_EQ(reloaded->property(kUniqueID), uid);
  EXPECT_EQ(reloaded->property(kConnected), 1u);
  EXPECT_EQ(reloaded->property(kTrackName), 0x6C6C6543u);  // "Cell"
  std::remove(ConnectionFilePath(uid).c_str());
}

TEST_F(LV2PluginTest, MainQueueWorkRunsOnOneThreadFromFirstInstanceToLast) {
  EXPECT_FALSE(MainQueueThreadRuns());
  ActiveTrackFilesGuard activeTrack;
  for (int round = 0; round < 3; ++round) {
    auto a = make(), b = make();
    EXPECT_TRUE(MainQueueThreadRuns());
    AudioUnitSetProperty(a->unit(), kConnected, 0, 0, &kOne, 4);
    AudioUnitSetProperty(b->unit(), kConnected, 0, 0, &kOne, 4);
    // The track-changed handler is main-queue work.
    activeTrack.set(HexUID(b->property(kUniqueID)).c_str(), nullptr);
    platform::NotifyPost(link::kTrackChangedNotification);
    EXPECT_TRUE(WaitUntil([&] { return b->property(kActiveTrack) == 1; }, std::chrono::seconds(5)));
    EXPECT_EQ(a->property(kActiveTrack), 0u);
  }
  EXPECT_FALSE(MainQueueThreadRuns());
}

}  // namespace
}  // namespace korvel::test
