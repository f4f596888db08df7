// The validator's stress phase: its consistency checks on answers that no interleaving
// could produce, and the phase itself against the built bundle.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "host/verify/StressInvariants.h"
#include "platform/MIDIPacketList.h"
#include "tests/host/HostProcess.h"

namespace korvel::host::stress {
namespace {

// A drain: `count`, then the 4-byte entries.
std::vector<uint8_t> Drain(const std::vector<std::vector<uint8_t>>& entries, uint32_t count) {
  std::vector<uint8_t> data(4);
  std::memcpy(data.data(), &count, 4);
  for (auto& e : entries) data.insert(data.end(), e.begin(), e.end());
  return data;
}

TEST(StressInvariants, DrainEntriesMustBeWholeChannelMessages) {
  const auto good = Drain({{0x90, 60, 100, 3}, {0xD2, 5, 0, 2}, {0xE0, 0, 64, 3}}, 3);
  const struct {
    std::vector<uint8_t> data;
    uint32_t size;
    bool bad;
  } cases[] = {
      {good, uint32_t(good.size()), false},
      {Drain({}, 0), 4, false},
      {Drain({{0xB0, 7, 0x80, 3}}, 1), 8, true},  // data byte with its top bit set
      {Drain({{0x40, 7, 1, 3}}, 1), 8, true},     // no status
      {Drain({{0x90, 60, 100, 2}}, 1), 8, true},  // a note of two bytes
      {Drain({{0xD0, 60, 0, 3}}, 1), 8, true},    // pressure of three
      {good, uint32_t(good.size() - 4), true},    // count and size disagree
      {good, 3, true},
      {Drain(std::vector<std::vector<uint8_t>>(257, {0x90, 1, 1, 3}), 257), 4 + 257 * 4,
       true},  // queue holds 256
  };
  for (size_t i = 0; i < std::size(cases); ++i)
    EXPECT_EQ(CheckDrain(cases[i].data.data(), cases[i].size).has_value(), cases[i].bad)
        << "case " << i;
}

TEST(StressInvariants, TrackNamesTablesAndRacingReadsInventNothing) {
  const std::set<std::string> written = {"Violins I", "Celli"};
  char name[256] = {};
  EXPECT_FALSE(CheckTrackName(name, written));  // empty
  std::strcpy(name, "Violins I");
  EXPECT_FALSE(CheckTrackName(name, written));
  std::strcpy(name, "Cellins I");  // a mix of two names
  EXPECT_TRUE(CheckTrackName(name, written));
  std::memset(name, 'x', sizeof name);  // no terminator
  EXPECT_TRUE(CheckTrackName(name, {std::string(256, 'x')}));

  std::vector<uint8_t> values(2048, 0x7F), flags(128, 1);
  EXPECT_FALSE(CheckCCValues(values.data(), values.size()));
  EXPECT_FALSE(CheckCCTriggered(flags.data(), flags.size()));
  values[2047] = 0x80;
  flags[3] = 2;
  EXPECT_TRUE(CheckCCValues(values.data(), values.size()));
  EXPECT_TRUE(CheckCCTriggered(flags.data(), flags.size()));

  // A racing read may mix writes byte by byte.
  const std::vector<std::vector<uint8_t>> writes = {{1, 2, 3, 4}, {9, 8, 7, 6}};
  const uint8_t mixed[4] = {1, 8, 3, 6}, invented[4] = {1, 2, 5, 4};
  EXPECT_FALSE(CheckBytesFromWritten(mixed, 4, writes, "format"));
  EXPECT_TRUE(CheckBytesFromWritten(invented, 4, writes, "format"));
}

TEST(StressInvariants, ThruMustBeOnePacketWithTheEventsBytes) {
  alignas(8) Byte buffer[64];
  auto* list = reinterpret_cast<MIDIPacketList*>(buffer);
  const char* problem = nullptr;
  const Byte program[3] = {0xC3, 5, 0}, note[3] = {0x90, 60, 100};
  MIDIPacketListAdd(list, sizeof buffer, MIDIPacketListInit(list), 0, 2, program);
  EXPECT_TRUE(ThruMatches(list, 0xC3, 5, 99, &problem));  // program change: 2 bytes
  EXPECT_FALSE(ThruMatches(list, 0xB3, 5, 0, &problem));  // a CC needs 3

  MIDIPacket* p = MIDIPacketListAdd(list, sizeof buffer, MIDIPacketListInit(list), 0, 3, note);
  EXPECT_TRUE(ThruMatches(list, 0x90, 60, 100, &problem));
  EXPECT_FALSE(ThruMatches(list, 0x90, 61, 100, &problem));
  MIDIPacketListAdd(list, sizeof buffer, p, 0, 3, note);
  EXPECT_FALSE(ThruMatches(list, 0x90, 60, 100, &problem));
}

// The validator against the built bundle, stress phase included (several threads, a
// real-time thread and ticking editors for a few seconds): not one failed check.
TEST(StressPhase, ValidationPassesOnTheBuiltBundle) {
  const auto result =
      host::test::RunHost({"validate", KORVEL_TEST_BUNDLE, "--stress", "--seconds", "3"});
  EXPECT_EQ(result.status, 0) << result.out << result.err;
  EXPECT_EQ(result.out.find("FAIL"), std::string::npos) << result.out;
  for (const char* passed : {"PASS  properties", "PASS  stress: ", "validation passed"})
    EXPECT_NE(result.out.find(passed), std::string::npos) << result.out;
}

}  // namespace
}  // namespace korvel::host::stress
