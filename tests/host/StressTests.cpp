// The validator's stress phase: its consistency checks on answers that no interleaving
// could produce, and the phase itself against the built bundle.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "host/StressInvariants.h"
#include "platform/MIDIPacketList.h"
#include "tests/host/HostProcess.h"

namespace korvel::host::stress {
namespace {

std::vector<uint8_t> Drain(std::vector<std::vector<uint8_t>> entries, uint32_t count) {
  std::vector<uint8_t> data(4);
  std::memcpy(data.data(), &count, 4);
  for (auto& e : entries) data.insert(data.end(), e.begin(), e.end());
  return data;
}

TEST(StressInvariants, DrainEntriesMustBeWholeChannelMessages) {
  auto good = Drain({{0x90, 60, 100, 3}, {0xD2, 5, 0, 2}, {0xE0, 0, 64, 3}}, 3);
  EXPECT_FALSE(CheckDrain(good.data(), uint32_t(good.size())));
  auto empty = Drain({}, 0);
  EXPECT_FALSE(CheckDrain(empty.data(), 4));

  auto dataByte = Drain({{0xB0, 7, 0x80, 3}}, 1);
  EXPECT_TRUE(CheckDrain(dataByte.data(), uint32_t(dataByte.size())));
  auto noStatus = Drain({{0x40, 7, 1, 3}}, 1);
  EXPECT_TRUE(CheckDrain(noStatus.data(), uint32_t(noStatus.size())));
  auto shortNote = Drain({{0x90, 60, 100, 2}}, 1);
  EXPECT_TRUE(CheckDrain(shortNote.data(), uint32_t(shortNote.size())));
  auto longPressure = Drain({{0xD0, 60, 0, 3}}, 1);
  EXPECT_TRUE(CheckDrain(longPressure.data(), uint32_t(longPressure.size())));
  // The count and the size must agree, and the queue holds at most 256.
  EXPECT_TRUE(CheckDrain(good.data(), uint32_t(good.size() - 4)));
  std::vector<uint8_t> tooMany = Drain(std::vector<std::vector<uint8_t>>(257, {0x90, 1, 1, 3}), 257);
  EXPECT_TRUE(CheckDrain(tooMany.data(), uint32_t(tooMany.size())));
  EXPECT_TRUE(CheckDrain(good.data(), 3));
}

TEST(StressInvariants, TrackNameMustBeTerminatedAndOneOfTheNamesWritten) {
  const std::set<std::string> written = {"Violins I", "Celli"};
  char name[256] = {};
  EXPECT_FALSE(CheckTrackName(name, written));  // empty
  std::strcpy(name, "Violins I");
  EXPECT_FALSE(CheckTrackName(name, written));
  std::strcpy(name, "Cellins I");  // a mix of two names
  EXPECT_TRUE(CheckTrackName(name, written));
  std::memset(name, 'x', sizeof name);
  EXPECT_TRUE(CheckTrackName(name, {std::string(256, 'x')}));
}

TEST(StressInvariants, TablesHoldSevenBitValuesAndFlags) {
  std::vector<uint8_t> values(2048, 0x7F);
  EXPECT_FALSE(CheckCCValues(values.data(), values.size()));
  values[2047] = 0x80;
  EXPECT_TRUE(CheckCCValues(values.data(), values.size()));
  std::vector<uint8_t> flags(128, 1);
  EXPECT_FALSE(CheckCCTriggered(flags.data(), flags.size()));
  flags[3] = 2;
  EXPECT_TRUE(CheckCCTriggered(flags.data(), flags.size()));
}

TEST(StressInvariants, ARacingReadMayMixWritesByteByByteButInventNothing) {
  const std::vector<std::vector<uint8_t>> written = {{1, 2, 3, 4}, {9, 8, 7, 6}};
  const uint8_t mixed[4] = {1, 8, 3, 6};
  EXPECT_FALSE(CheckBytesFromWritten(mixed, 4, written, "format"));
  const uint8_t invented[4] = {1, 2, 5, 4};
  EXPECT_TRUE(CheckBytesFromWritten(invented, 4, written, "format"));
}

TEST(StressInvariants, ThruMustBeOnePacketWithTheEventsBytes) {
  alignas(8) Byte buffer[64];
  auto* list = reinterpret_cast<MIDIPacketList*>(buffer);
  const char* problem = nullptr;
  const Byte program[3] = {0xC3, 5, 0};
  MIDIPacketListAdd(list, sizeof buffer, MIDIPacketListInit(list), 0, 2, program);
  EXPECT_TRUE(ThruMatches(list, 0xC3, 5, 99, &problem));  // program change: 2 bytes
  EXPECT_FALSE(ThruMatches(list, 0xB3, 5, 0, &problem));  // a CC needs 3

  const Byte note[3] = {0x90, 60, 100};
  MIDIPacket* p = MIDIPacketListAdd(list, sizeof buffer, MIDIPacketListInit(list), 0, 3, note);
  EXPECT_TRUE(ThruMatches(list, 0x90, 60, 100, &problem));
  EXPECT_FALSE(ThruMatches(list, 0x90, 61, 100, &problem));
  MIDIPacketListAdd(list, sizeof buffer, p, 0, 3, note);
  EXPECT_FALSE(ThruMatches(list, 0x90, 60, 100, &problem));
}

// The whole phase against the built bundle: several threads, a real-time thread and
// ticking editors for a few seconds, and not one inconsistent answer.
TEST(StressPhase, PassesOnTheBuiltBundle) {
  host::test::HostResult result =
      host::test::RunHost({"validate", KORVEL_TEST_BUNDLE, "--stress", "--seconds", "3"});
  EXPECT_EQ(result.status, 0) << result.out << result.err;
  EXPECT_NE(result.out.find("PASS  stress: "), std::string::npos) << result.out;
}

}  // namespace
}  // namespace korvel::host::stress
