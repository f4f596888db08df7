// The MIDI services across a JACK server restart: handles made before the restart work
// after it, a virtual destination comes back with its unique ID, an output port made
// while no server runs gets its JACK port when one answers, and sends caught by the
// server's disappearance leave nothing stuck.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/MIDIPacketList.h"
#include "platform/MIDIServices.h"
#include "tests/support/TestSupport.h"

namespace korvel::test {
namespace {

constexpr int32_t kCompanionID = 1414941771;  // 'TVLK'

struct Client {
  MIDIClientRef ref = 0;
  std::atomic<int> changes{0};
  explicit Client(const char* name) {
    MIDIClientCreateWithBlock(name, &ref, [this](const MIDINotification* note) {
      if (note->messageID == kMIDIMsgSetupChanged) changes++;
    });
  }
  ~Client() {
    if (ref) MIDIClientDispose(ref);
  }
};

// A virtual destination of this process that counts what reaches it.
struct Receiver {
  MIDIEndpointRef endpoint = 0;
  std::atomic<int> received{0};
  std::mutex mutex;
  std::vector<uint8_t> last;
  Receiver(MIDIClientRef client, const char* name) {
    MIDIDestinationCreateWithBlock(client, name, &endpoint, [this](const MIDIPacketList* list) {
      std::lock_guard lock(mutex);
      last.assign(list->packet[0].data, list->packet[0].data + list->packet[0].length);
      received++;
    });
  }
};

void SendNoteOn(MIDIPortRef port, MIDIEndpointRef dest, uint8_t note) {
  alignas(8) uint8_t buffer[64];
  auto* list = reinterpret_cast<MIDIPacketList*>(buffer);
  const uint8_t bytes[3] = {0x90, note, 100};
  MIDIPacketListAdd(list, sizeof buffer, MIDIPacketListInit(list), 0, sizeof bytes, bytes);
  MIDISend(port, dest, list);
}

MIDIEndpointRef FindByID(int32_t wanted) {
  for (unsigned long i = 0; i < MIDIGetNumberOfDestinations(); ++i) {
    int32_t id = 0;
    MIDIObjectGetIntegerProperty(MIDIGetDestination(i), kMIDIPropertyUniqueID, &id);
    if (id == wanted) return MIDIGetDestination(i);
  }
  return 0;
}

TEST(JackReconnect, HandlesMadeBeforeTheRestartWorkAfterIt) {
  PrivateJackServer jack;
  ASSERT_TRUE(jack.running());
  Client companion("Tolvane"), plugin("KorvelV2AU");
  ASSERT_NE(companion.ref, 0u);
  Receiver link(companion.ref, "Link In");
  ASSERT_NE(link.endpoint, 0u);
  ASSERT_EQ(MIDIObjectSetIntegerProperty(link.endpoint, kMIDIPropertyUniqueID, kCompanionID), 0);
  MIDIPortRef port = 0;
  ASSERT_EQ(MIDIOutputPortCreate(plugin.ref, "KorvelV2Out", &port), 0);
  ASSERT_TRUE(WaitUntil([&] { return FindByID(kCompanionID) == link.endpoint; }));
  SendNoteOn(port, link.endpoint, 60);
  ASSERT_TRUE(WaitUntil([&] { return link.received.load() == 1; }));

  const int changes = plugin.changes.load();
  jack.stop();
  ASSERT_TRUE(WaitUntil([&] { return plugin.changes.load() > changes; }));
  SendNoteOn(port, link.endpoint, 61);  // into nowhere, harmlessly
  EXPECT_EQ(MIDIGetNumberOfDestinations(), 0u);
  EXPECT_EQ(FindByID(kCompanionID), 0u);
  MIDIPortRef duringOutage = 0;
  EXPECT_EQ(MIDIOutputPortCreate(plugin.ref, "late", &duringOutage), 0);
  EXPECT_NE(duringOutage, 0u);

  const int lost = plugin.changes.load();
  ASSERT_TRUE(jack.start());
  ASSERT_TRUE(WaitUntil([&] { return plugin.changes.load() > lost; }, std::chrono::seconds(15)))
      << "finding the server again is a setup change";
  ASSERT_TRUE(WaitUntil([&] { return FindByID(kCompanionID) == link.endpoint; }))
      << "the destination is back under its old handle, with its ID";
  SendNoteOn(port, link.endpoint, 62);
  ASSERT_TRUE(WaitUntil([&] { return link.received.load() == 2; })) << "the old port handle sends again";
  {
    std::lock_guard lock(link.mutex);
    EXPECT_EQ(link.last, (std::vector<uint8_t>{0x90, 62, 100})) << "nothing from the outage was kept";
  }
  SendNoteOn(duringOutage, link.endpoint, 64);
  ASSERT_TRUE(WaitUntil([&] { return link.received.load() == 3; })) << "the port made during the outage sends";
  MIDIPortRef afterRestart = 0;
  EXPECT_EQ(MIDIOutputPortCreate(plugin.ref, "later", &afterRestart), 0);
  EXPECT_NE(afterRestart, 0u);

  // A second restart works the same way.
  const int beforeSecond = plugin.changes.load();
  jack.stop();
  ASSERT_TRUE(WaitUntil([&] { return plugin.changes.load() > beforeSecond; }));
  ASSERT_TRUE(jack.start());
  ASSERT_TRUE(WaitUntil([&] { return FindByID(kCompanionID) == link.endpoint; }, std::chrono::seconds(15)));
  SendNoteOn(port, link.endpoint, 63);
  EXPECT_TRUE(WaitUntil([&] { return link.received.load() == 4; }));
}

TEST(JackReconnect, APortMadeBeforeAnyServerRunsIsRegisteredUnderItsHandleWhenOneStarts) {
  PrivateJackServer jack;
  jack.stop();
  Client plugin("KorvelV2AU");
  ASSERT_NE(plugin.ref, 0u) << "a client without a server";
  MIDIPortRef port = 0;
  ASSERT_EQ(MIDIOutputPortCreate(plugin.ref, "KorvelV2Out", &port), 0);
  ASSERT_NE(port, 0u);
  EXPECT_EQ(MIDIGetNumberOfDestinations(), 0u);
  ASSERT_TRUE(jack.start());
  ASSERT_TRUE(WaitUntil([&] { return plugin.changes.load() > 0; }, std::chrono::seconds(15)))
      << "finding a server is a setup change";
  Client companion("Tolvane");
  Receiver link(companion.ref, "Link In");
  ASSERT_EQ(MIDIObjectSetIntegerProperty(link.endpoint, kMIDIPropertyUniqueID, kCompanionID), 0);
  ASSERT_TRUE(WaitUntil([&] { return FindByID(kCompanionID) == link.endpoint; }));
  SendNoteOn(port, link.endpoint, 60);
  EXPECT_TRUE(WaitUntil([&] { return link.received.load() == 1; })) << "the early handle sends";
}

TEST(JackReconnect, ConnectionsUnderWayWhenTheServerStopsLeaveNothingStuck) {
  // Long periods (85 ms): a new connection takes effect at a cycle boundary, so the
  // connections asked for below are still being made when the server stops.
  PrivateJackServer jack(4096);
  ASSERT_TRUE(jack.running());
  Client receivers("Receivers"), plugin("KorvelV2AU");
  std::vector<std::unique_ptr<Receiver>> destinations;
  for (int i = 0; i < 150; ++i) {
    destinations.push_back(std::make_unique<Receiver>(receivers.ref, ("in" + std::to_string(i)).c_str()));
    ASSERT_NE(destinations.back()->endpoint, 0u);
  }
  MIDIPortRef port = 0;
  ASSERT_EQ(MIDIOutputPortCreate(plugin.ref, "KorvelV2Out", &port), 0);
  ASSERT_TRUE(WaitUntil([&] { return MIDIGetNumberOfDestinations() >= destinations.size(); }));

  // Every send goes to a destination the port is not yet connected to; none waits.
  for (auto& destination : destinations) SendNoteOn(port, destination->endpoint, 60);
  ASSERT_TRUE(WaitUntil([&] { return destinations[1]->received.load() > 0; }));
  EXPECT_EQ(destinations.back()->received.load(), 0) << "the stop comes while connections are still made";
  jack.stop();
  std::atomic<bool> disposed{false};
  std::thread closer([&] {
    MIDIPortDispose(port);
    MIDIClientDispose(plugin.ref);
    plugin.ref = 0;
    disposed = true;
  });
  const bool returned = WaitUntil([&] { return disposed.load(); }, std::chrono::seconds(10));
  EXPECT_TRUE(returned) << "disposal stuck behind the connections under way";
  if (!returned) closer.detach();  // let the report out; the process is broken anyway
  else closer.join();
}

}  // namespace
}  // namespace korvel::test
