// The link's schedule and wire bytes, on the virtual clock, against a private JACK server
// with a destination that answers to the companion's ID.
#include <gtest/gtest.h>

#include <filesystem>

#include "component/KorvelComponent.h"
#include "interface/CompanionProtocol.h"
#include "platform/MIDIPacketList.h"
#include "platform/MIDIServices.h"
#include "platform/Notify.h"
#include "tests/support/RecordingDestination.h"
#include "tests/support/TestSupport.h"

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

namespace {

Bytes Command(uint8_t command) { return {0xF0, 0x7D, 0x01, 0x11, 0x51, 0x2C, 0x78, command, 0xF7}; }
const Bytes kTag12345678 = {0xF0, 0x7D, 0x01, 0x11, 0x51, 0x2C, 0x78, 0xF7};

// Instances opened here are closed, and their connection files removed, at the end. The
// link without a server, or with a companion that comes late, is covered by the fault
// tests with real processes.
class CompanionLink : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(jack_.running()); }
  void TearDown() override {
    for (KorvelInstance* inst : open_) inst->plugInInterface.Close(inst);
    clock_.advance(1s);
    for (uint32_t uid : uids_) std::filesystem::remove(korvel::test::ConnectionFilePath(uid));
  }
  KorvelInstance* Open(uint32_t uid) {
    auto* iface = KorvelAUFactory(nullptr);
    iface->Open(iface, iface);
    auto* inst = reinterpret_cast<KorvelInstance*>(iface);
    open_.push_back(inst);
    SetUID(inst, uid);
    return inst;
  }
  void SetUID(KorvelInstance* inst, uint32_t uid) {
    EXPECT_EQ(KR_SetProperty(inst, kKorvelProperty_UniqueID, 0, 0, &uid, 4), 0);
    uids_.push_back(uid);
  }
  void Command(KorvelInstance* inst, uint32_t command) {
    EXPECT_EQ(KR_SetProperty(inst, kKorvelProperty_CompanionCommand, 0, 0, &command, 4), 0);
  }
  void Link(KorvelInstance* inst) {
    KR_Store(inst->isConnected, 1);
    KR_Store(inst->isActiveTrack, 1);
  }
  korvel::test::PrivateJackServer jack_;
  korvel::test::ActiveTrackFilesGuard activeFiles_;
  korvel::test::VirtualDispatchScope clock_;
  std::vector<KorvelInstance*> open_;
  std::vector<uint32_t> uids_;
};

TEST_F(CompanionLink, CommandEventAndHeartbeatBytesOnTheTickSchedule) {
  korvel::test::RecordingDestination companion("Test Companion In");
  ASSERT_TRUE(companion.setUniqueID(korvel::link::kCompanionDestinationID));
  ASSERT_TRUE(korvel::test::WaitUntil(
      [] { return korvel::test::FindDestinationByID(korvel::link::kCompanionDestinationID); }));
  KorvelInstance* inst = Open(0x12345678);
  ASSERT_NE(KR_Load(inst->midiOutPort), 0u);
  // The heartbeat is enabled by the one-shot task 300 ms after Open, not by Open.
  clock_.advance(299ms);
  EXPECT_EQ(KR_Load(inst->heartbeatEnabled), 0);
  clock_.advance(1ms);
  EXPECT_EQ(KR_Load(inst->heartbeatEnabled), 1);
  clock_.advance(500ms);  // ticks 1..9
  // Commands go out at once; anything sent before would arrive ahead of them on the port.
  Command(inst, 1);
  Command(inst, 2);
  Command(inst, 3);  // not a command the editor may send: ignored
  Command(inst, 0);
  Link(inst);
  KR_MIDIEvent(inst, 0x90, 60, 100, 0);
  KR_MIDIEvent(inst, 0xD0, 0x45, 0, 0);
  ASSERT_TRUE(companion.waitFor(2));
  clock_.advance(100ms);  // tick 10 forwards both queued events, then the first heartbeat
  ASSERT_TRUE(companion.waitFor(7));
  std::vector<Bytes> expected = {::Command(1), ::Command(2), kTag12345678, {0x90, 0x3C, 0x64},
                                 kTag12345678, {0xD0, 0x45}, ::Command(3)};
  EXPECT_EQ(companion.packets(), expected);

  clock_.advance(900ms);  // ticks 11..19: nothing
  Command(inst, 2);
  expected.push_back(::Command(2));
  ASSERT_TRUE(companion.waitFor(8));
  // A UID change shows in the very next tag and heartbeat.
  SetUID(inst, 0x0FEDCBA9);
  KR_MIDIEvent(inst, 0x90, 60, 100, 0);
  clock_.advance(100ms);  // tick 20
  ASSERT_TRUE(companion.waitFor(11));
  expected.insert(expected.end(), {{0xF0, 0x7D, 0x00, 0x7F, 0x37, 0x17, 0x29, 0xF7},
                                   {0x90, 0x3C, 0x64},
                                   {0xF0, 0x7D, 0x00, 0x7F, 0x37, 0x17, 0x29, 0x03, 0xF7}});
  EXPECT_EQ(companion.packets(), expected);
}

TEST_F(CompanionLink, OfTwoCompanionDestinationsTheFirstListedGetsEverything) {
  korvel::test::RecordingDestination first("First Companion"), second("Second Companion");
  ASSERT_TRUE(first.setUniqueID(korvel::link::kCompanionDestinationID));
  ASSERT_TRUE(second.setUniqueID(korvel::link::kCompanionDestinationID));
  ASSERT_TRUE(korvel::test::WaitUntil([] {
    int found = 0;
    for (unsigned long i = 0; i < MIDIGetNumberOfDestinations(); ++i) {
      int32_t id = 0;
      MIDIObjectGetIntegerProperty(MIDIGetDestination(i), kMIDIPropertyUniqueID, &id);
      found += id == korvel::link::kCompanionDestinationID;
    }
    return found == 2;
  }));
  ASSERT_EQ(korvel::test::FindDestinationByID(korvel::link::kCompanionDestinationID),
            first.endpoint());
  KorvelInstance* inst = Open(0x12345678);
  Command(inst, 1);
  ASSERT_TRUE(first.waitFor(1));
  EXPECT_EQ(first.packets(), std::vector<Bytes>{::Command(1)});
  EXPECT_TRUE(second.packets().empty());
}

TEST_F(CompanionLink, ConnectionFileIsReadOnEveryFifthTick) {
  KorvelInstance* inst = Open(0x2468ACE0);
  korvel::test::WriteFile(
      korvel::test::ConnectionFilePath(0x2468ACE0),
      R"({"status":"connected","trackName":"Brass","articulationNotes":[24,25]})");
  clock_.advance(300ms);  // ticks at 0..300 ms
  EXPECT_FALSE(KR_Load(inst->isConnected));
  clock_.advance(100ms);  // the 5th tick
  EXPECT_TRUE(KR_Load(inst->isConnected));
  EXPECT_EQ(KR_Load(inst->articulationNoteCount), 2);
  korvel::test::WriteFile(korvel::test::ConnectionFilePath(0x2468ACE0),
                          R"({"status":"disconnected"})");
  clock_.advance(400ms);
  EXPECT_TRUE(KR_Load(inst->isConnected));
  clock_.advance(100ms);  // the 10th tick
  EXPECT_FALSE(KR_Load(inst->isConnected));
}

TEST_F(CompanionLink, TheTrackChangedNotificationMakesAnInstanceReadAtOnce) {
  KorvelInstance* inst = Open(0x13572468);
  clock_.advance(100ms);
  const std::string dir = korvel::platform::NotifyDirectory();
  // Also after the directory was removed or renamed under the running instance.
  for (const std::string& before :
       {std::string("true"), "rm -rf '" + dir + "'", "mv '" + dir + "' '" + dir + ".old'"}) {
    KR_Store(inst->isConnected, 0);
    KR_Store(inst->isActiveTrack, 0);
    ASSERT_EQ(std::system(before.c_str()), 0);
    korvel::test::WriteFile(korvel::test::ConnectionFilePath(0x13572468),
                            R"({"status":"connected","trackName":"Harp"})");
    activeFiles_.set("13572468\n", nullptr);
    const size_t queued = clock_.dispatcher().pendingCount();
    const std::string post = "mkdir -p -m 1777 '" + dir + "' && touch '" + dir + "/" +
                             korvel::link::kTrackChangedNotification + "'";
    ASSERT_EQ(std::system(post.c_str()), 0);
    ASSERT_TRUE(korvel::test::WaitUntil([&] {
      return clock_.dispatcher().pendingCount() > queued;
    })) << before;
    clock_.dispatcher().runDue();  // no time passes: the read comes from the notification
    EXPECT_TRUE(KR_Load(inst->isConnected)) << before;
    EXPECT_TRUE(KR_Load(inst->isActiveTrack)) << before;
  }
  std::filesystem::remove_all(dir + ".old");
}

}  // namespace
