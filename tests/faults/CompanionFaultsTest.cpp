// The link under faults, with real processes: the companion killed mid-link, and the
// JACK server stopped and started again under open instances. Instances run on the
// system dispatcher (real timers); the test thread stands in for the host's main thread.
#include <gtest/gtest.h>

#include <string>

#include "interface/CompanionProtocol.h"
#include "platform/MIDIServices.h"
#include "tests/faults/FaultSupport.h"
#include "tests/support/TestSupport.h"

namespace korvel::test::faults {
namespace {

// The files tolvane writes for a link, put back afterwards.
struct CompanionFiles {
  SavedFile activeUID{kActiveUIDPath};
  SavedFile activeTrack{kActiveTrackPath};
  SavedFile posted{"/tmp/.notify/com.tolvane.trackChanged"};
};

// A MIDI client of the test's own, to see setup changes as the instances see them.
struct SetupWatcher {
  MIDIClientRef client = 0;
  std::atomic<int> changes{0};
  SetupWatcher() {
    MIDIClientCreateWithBlock("KorvelFaultWatcher", &client, [this](const MIDINotification* note) {
      if (note->messageID == kMIDIMsgSetupChanged) changes++;
    });
  }
  ~SetupWatcher() {
    if (client) MIDIClientDispose(client);
  }
};

// Waits until the instance's link timer has ticked at least `ticks` more times (its
// heartbeat counter runs 0..9 and wraps whether or not a heartbeat can go out).
bool WaitForTicks(const OpenInstance& inst, int ticks) {
  int32_t last = KR_Load(inst->heartbeatTicks);
  int seen = 0;
  return WaitPumping([&] {
    const int32_t now = KR_Load(inst->heartbeatTicks);
    if (now != last) seen += now > last ? now - last : now + 1;
    last = now;
    return seen >= ticks;
  });
}

std::vector<std::string> Args() { return {"--session", TOLVANE_EXAMPLE_SESSION, "run"}; }

TEST(CompanionKilled, InstanceKeepsItsLinkQueuesWhileAloneAndFindsTheNextCompanion) {
  PrivateJackServer jack;
  ASSERT_TRUE(jack.running());
  TempDir home;
  CompanionFiles files;
  auto first = std::make_unique<TolvaneProcess>(home.path(), Args());
  ASSERT_TRUE(first->waitForLine("ready"));

  OpenInstance inst;
  const uint32_t uid = inst.uid();
  const std::string hex = HexUID(uid);
  SavedFile connection(ConnectionFilePath(uid));
  ASSERT_TRUE(WaitPumping([&] { return KR_Load(inst->companionDestination) != 0; }));

  // A real link: the connect request makes tolvane write the file and name the instance
  // in the active-track file; the instance reads both.
  inst.command(1);
  ASSERT_TRUE(first->waitForLine("connect UID " + hex));
  ASSERT_TRUE(WaitPumping([&] {
    return KR_Load(inst->isConnected) && KR_Load(inst->isActiveTrack) &&
           inst.trackName() == "Violins I";
  }));
  KR_MIDIEvent(inst.get(), 0x90, 60, 100, 0);
  ASSERT_TRUE(first->waitForLine("event UID " + hex + " ch 1 note-on 60 100"));
  ASSERT_TRUE(first->waitForLine("heartbeat UID " + hex));
  const MIDIClientRef client = KR_Load(inst->midiClient);
  const MIDIPortRef port = KR_Load(inst->midiOutPort);

  first->kill();
  ASSERT_TRUE(WaitPumping([&] { return KR_Load(inst->companionDestination) == 0; }))
      << "the companion's port leaving the graph is a setup change";
  inst.command(1);  // no destination: dropped, not queued

  // Alone, the queue fills to its capacity and drops what comes beyond it.
  for (int i = 0; i < 300; ++i) KR_MIDIEvent(inst.get(), 0x90, 30 + i % 90, 1 + i % 120, 0);
  EXPECT_EQ(inst.pendingCount(), kKorvelMaxPending);
  // Two file reads later the link is still as the dead companion left it.
  ASSERT_TRUE(WaitForTicks(inst, 12));
  EXPECT_EQ(inst.uid(), uid);
  EXPECT_EQ(KR_Load(inst->isConnected), 1);
  EXPECT_EQ(KR_Load(inst->isActiveTrack), 1) << "active UID file: " << ReadFile(kActiveUIDPath);
  EXPECT_EQ(inst.trackName(), "Violins I");
  EXPECT_EQ(KR_Load(inst->midiClient), client);
  EXPECT_EQ(KR_Load(inst->midiOutPort), port);
  EXPECT_EQ(inst.pendingCount(), kKorvelMaxPending) << "nothing was sent into the void";

  // The next companion is found by the search that follows its appearance, and receives
  // the 256 waiting events in order, then heartbeats.
  first.reset();
  TolvaneProcess second(home.path(), Args());
  ASSERT_TRUE(second.waitForLine("ready"));
  auto beat = second.waitForLine("heartbeat UID " + hex);
  ASSERT_TRUE(beat);
  EXPECT_EQ(second.countLines("event UID " + hex, 0), static_cast<size_t>(kKorvelMaxPending));
  auto firstEvent = second.waitForLine("event UID " + hex, 0);
  ASSERT_TRUE(firstEvent);
  EXPECT_NE(second.line(*firstEvent).text.find("note-on 30 1"), std::string::npos)
      << second.line(*firstEvent).text;
  EXPECT_EQ(second.countLines("note-on " + std::to_string(30 + 255 % 90) + " " +
                              std::to_string(1 + 255 % 120)),
            1u)
      << "the 256th event is the last one kept";
  EXPECT_EQ(second.countLines("note-on " + std::to_string(30 + 256 % 90) + " " +
                              std::to_string(1 + 256 % 120)),
            0u)
      << "the 257th was dropped";
  EXPECT_EQ(inst.pendingCount(), 0);
  EXPECT_TRUE(second.waitForLine("heartbeat UID " + hex, *beat + 1)) << "heartbeats go on";
  inst.command(2);
  EXPECT_TRUE(second.waitForLine("disconnect UID " + hex));
}

TEST(JackServerRestart, InstancesAndCompanionFindEachOtherAgain) {
  PrivateJackServer jack;
  ASSERT_TRUE(jack.running());
  TempDir home;
  CompanionFiles files;
  TolvaneProcess tolvane(home.path(), Args());
  ASSERT_TRUE(tolvane.waitForLine("ready"));
  SetupWatcher watcher;
  ASSERT_NE(watcher.client, 0u);

  OpenInstance a, b;
  SavedFile fileA(ConnectionFilePath(a.uid())), fileB(ConnectionFilePath(b.uid()));
  const std::string hexA = HexUID(a.uid()), hexB = HexUID(b.uid());
  ASSERT_TRUE(tolvane.waitForLine("heartbeat UID " + hexA));
  ASSERT_TRUE(tolvane.waitForLine("heartbeat UID " + hexB));
  const MIDIClientRef clientA = KR_Load(a->midiClient);
  const MIDIPortRef portA = KR_Load(a->midiOutPort), portB = KR_Load(b->midiOutPort);
  ASSERT_NE(portA, 0u);
  ASSERT_NE(portB, 0u);

  const int before = watcher.changes.load();
  jack.stop();
  ASSERT_TRUE(WaitPumping([&] { return watcher.changes.load() > before; }))
      << "losing the server is a setup change";
  ASSERT_TRUE(WaitPumping([&] {
    return KR_Load(a->companionDestination) == 0 && KR_Load(b->companionDestination) == 0;
  }));
  EXPECT_EQ(MIDIGetNumberOfDestinations(), 0u);

  // While the server is away: commands are dropped, forwarded events wait.
  b.command(1);
  KR_Store(a->isConnected, 1);
  KR_Store(a->isActiveTrack, 1);
  KR_MIDIEvent(a.get(), 0x90, 61, 99, 0);
  EXPECT_EQ(a.pendingCount(), 1);
  ASSERT_TRUE(WaitForTicks(a, 12)) << "the link ticks go on without a server";
  EXPECT_EQ(a.pendingCount(), 1);

  const size_t mark = tolvane.lineCount();
  ASSERT_TRUE(jack.start());
  // Both sides reconnect on their own: the instances' process re-registers its ports,
  // tolvane republishes its destination with its ID.
  ASSERT_TRUE(WaitPumping(
      [&] {
        return KR_Load(a->companionDestination) != 0 && KR_Load(b->companionDestination) != 0;
      },
      std::chrono::seconds(15)));
  EXPECT_TRUE(tolvane.waitForLine("event UID " + hexA + " ch 1 note-on 61 99", mark))
      << "the waiting event went";
  EXPECT_TRUE(tolvane.waitForLine("heartbeat UID " + hexA, mark));
  EXPECT_TRUE(tolvane.waitForLine("heartbeat UID " + hexB, mark));
  EXPECT_EQ(tolvane.countLines("connect UID " + hexB, mark), 0u)
      << "the command sent during the outage is lost";
  b.command(1);
  EXPECT_TRUE(tolvane.waitForLine("connect UID " + hexB, mark));
  EXPECT_EQ(KR_Load(a->midiClient), clientA) << "handles stay";
  EXPECT_EQ(KR_Load(a->midiOutPort), portA);
  EXPECT_EQ(KR_Load(b->midiOutPort), portB);

  // An instance opened after the restart joins the same connection.
  OpenInstance c;
  SavedFile fileC(ConnectionFilePath(c.uid()));
  EXPECT_NE(KR_Load(c->midiOutPort), 0u);
  EXPECT_TRUE(tolvane.waitForLine("heartbeat UID " + HexUID(c.uid()), mark));
}

TEST(JackServerRestart, AnInstanceOpenedDuringTheOutageGetsItsPortWhenTheServerReturns) {
  PrivateJackServer jack;
  ASSERT_TRUE(jack.running());
  TempDir home;
  CompanionFiles files;
  TolvaneProcess tolvane(home.path(), Args());
  ASSERT_TRUE(tolvane.waitForLine("ready"));
  SetupWatcher watcher;
  OpenInstance before;
  ASSERT_NE(KR_Load(before->midiOutPort), 0u);
  const int changes = watcher.changes.load();
  jack.stop();
  ASSERT_TRUE(WaitPumping([&] { return watcher.changes.load() > changes; }));
  OpenInstance during;
  SavedFile file(ConnectionFilePath(during.uid()));
  const MIDIPortRef port = KR_Load(during->midiOutPort);
  EXPECT_NE(port, 0u) << "a handle at once, its JACK port when a server answers";
  const size_t mark = tolvane.lines().size();
  ASSERT_TRUE(jack.start());
  EXPECT_TRUE(
      tolvane.waitForLine("heartbeat UID " + HexUID(during.uid()), mark, std::chrono::seconds(20)))
      << "it finds the companion and its heartbeats arrive";
  EXPECT_EQ(KR_Load(during->midiOutPort), port) << "under its old handle";
}

}  // namespace
}  // namespace korvel::test::faults
