#include "interface/CompanionProtocol.h"
#include "platform/MIDIServices.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/JackMIDIRing.h"
#include "platform/MIDIPacketList.h"
#include "tests/platform/JackObserver.h"
#include "tests/platform/MIDIDump.h"
#include "tests/support/RecordingDestination.h"
#include "tests/support/TestSupport.h"

namespace korvel::test {
namespace {

using Message = std::vector<uint8_t>;
constexpr int32_t kCompanionID = korvel::link::kCompanionDestinationID;

struct PacketListBuffer {
  alignas(8) uint8_t bytes[1024];
  MIDIPacketList* list = reinterpret_cast<MIDIPacketList*>(bytes);
  MIDIPacket* current = MIDIPacketListInit(list);

  PacketListBuffer& add(const Message& data) {
    current = MIDIPacketListAdd(list, sizeof bytes, current, 0, data.size(), data.data());
    return *this;
  }
};

// A client of the services under test, disposed at the end of the scope.
struct Client {
  MIDIClientRef ref = 0;
  OSStatus status = 0;
  std::atomic<int> notifications{0};

  explicit Client(const char* name = "KorvelV2AU") {
    status = MIDIClientCreateWithBlock(name, &ref, [this](const MIDINotification* n) {
      if (n->messageID == kMIDIMsgSetupChanged) notifications++;
    });
  }
  ~Client() {
    if (ref) MIDIClientDispose(ref);
  }
};

MIDIEndpointRef FindByName(JackObserver& observer, const std::string& name) {
  // Handles carry no name; the observer's port is the one destination whose ID we know
  // to be absent, so locate it by position in the graph's own order.
  auto inputs = observer.ports(nullptr, JackPortIsInput);
  auto at = std::find(inputs.begin(), inputs.end(), name);
  if (at == inputs.end() || MIDIGetNumberOfDestinations() != inputs.size()) return 0;
  return MIDIGetDestination(static_cast<unsigned long>(at - inputs.begin()));
}

TEST(MIDIRing, KeepsWholeListsInOrderAcrossTheWrapAndRefusesWhatDoesNotFit) {
  platform::jack::MIDIRing ring(64);
  uint8_t out[16];
  for (int round = 0; round < 20; ++round) {  // walks the indices around the buffer
    PacketListBuffer list;
    list.add({0xF0, 0x7D, static_cast<uint8_t>(round), 0xF7}).add({0x90, 60, 100});
    ASSERT_TRUE(ring.pushPacketList(list.list));
    ASSERT_EQ(ring.frontLength(), 4);
    ring.popFront(out);
    EXPECT_EQ(Message(out, out + 4), (Message{0xF0, 0x7D, static_cast<uint8_t>(round), 0xF7}));
    ASSERT_EQ(ring.frontLength(), 3);
    ring.popFront(out);
    EXPECT_EQ(Message(out, out + 3), (Message{0x90, 60, 100}));
  }
  EXPECT_EQ(ring.frontLength(), 0);

  PacketListBuffer big;
  for (int i = 0; i < 12; ++i) big.add({0x90, 60, 100});  // 60 bytes with lengths
  ASSERT_TRUE(ring.pushPacketList(big.list));
  PacketListBuffer pair;
  pair.add({0xB0, 1, 2}).add({0xB0, 3, 4});  // 10 bytes: only the first would fit
  EXPECT_FALSE(ring.pushPacketList(pair.list));
  int count = 0;
  while (uint16_t n = ring.frontLength()) {
    ASSERT_EQ(n, 3);
    ring.popFront(out);
    EXPECT_EQ(out[0], 0x90) << "nothing of the refused list got in";
    ++count;
  }
  EXPECT_EQ(count, 12);
}

// A private server and a plain client looking at its graph.
class MIDIServices : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.running());
    ASSERT_TRUE(observer.ok());
  }
  PrivateJackServer server;
  JackObserver observer;
};

TEST(MIDIServicesWithoutServer, HandlesAreMadeQuietlyAndSendingDoesNothing) {
  std::string absent = "korvel-no-server-" + std::to_string(getpid());
  setenv("JACK_DEFAULT_SERVER", absent.c_str(), 1);
  MIDIClientRef client = 0;
  EXPECT_EQ(MIDIClientCreateWithBlock("KorvelV2AU", &client, nullptr), 0);
  EXPECT_NE(client, 0u) << "the port comes when a server answers";
  MIDIPortRef port = 0;
  EXPECT_EQ(MIDIOutputPortCreate(client, "KorvelV2Out", &port), 0);
  EXPECT_NE(port, 0u);
  MIDIEndpointRef inbox = 99;
  EXPECT_NE(MIDIDestinationCreateWithBlock(client, "inbox", &inbox, nullptr), 0);
  EXPECT_EQ(inbox, 0u);
  EXPECT_EQ(MIDIGetNumberOfDestinations(), 0u);
  EXPECT_EQ(MIDIGetDestination(0), 0u);
  PacketListBuffer packets;
  packets.add({0xF0, 0x7D, 0x01, 0x11, 0x51, 0x2C, 0x78, 0x03, 0xF7});
  EXPECT_NE(MIDISend(port, 0, packets.list), 0);
  EXPECT_EQ(MIDIClientDispose(client), 0);
  EXPECT_NE(MIDIClientDispose(client), 0);
}

TEST_F(MIDIServices, OutputPortsShareOneJackClientAndGoAwayWithIt) {
  {
    Client first, second("another name");
    ASSERT_EQ(first.status, 0);
    ASSERT_EQ(second.status, 0);
    MIDIPortRef a = 0, b = 0;
    ASSERT_EQ(MIDIOutputPortCreate(first.ref, "KorvelV2Out", &a), 0);
    ASSERT_EQ(MIDIOutputPortCreate(second.ref, "KorvelV2Out", &b), 0);
    EXPECT_NE(a, b);
    auto ports = observer.ports("^KorvelV2AU:", JackPortIsOutput);
    std::sort(ports.begin(), ports.end());
    EXPECT_EQ(ports,
              (std::vector<std::string>{"KorvelV2AU:KorvelV2Out", "KorvelV2AU:KorvelV2Out-2"}));
    EXPECT_FALSE(observer.clientExists("another name"));

    EXPECT_EQ(MIDIPortDispose(a), 0);
    EXPECT_EQ(observer.ports("^KorvelV2AU:", JackPortIsOutput),
              std::vector<std::string>{"KorvelV2AU:KorvelV2Out-2"});
    EXPECT_NE(MIDIPortDispose(a), 0) << "a disposed handle is not found again";
    EXPECT_TRUE(observer.clientExists("KorvelV2AU"));
  }
  EXPECT_TRUE(WaitUntil([&] { return !observer.clientExists("KorvelV2AU"); }))
      << "the JACK client closes with the last client handle";
}

TEST_F(MIDIServices, DestinationsCarryTheirUniqueIDMetadata) {
  Client companion("Tolvane");
  ASSERT_EQ(companion.status, 0);
  MIDIEndpointRef published = 0;
  ASSERT_EQ(MIDIDestinationCreateWithBlock(companion.ref, "Tolvane Link In", &published, nullptr),
            0);
  ASSERT_EQ(MIDIObjectSetIntegerProperty(published, kMIDIPropertyUniqueID, kCompanionID), 0);

  EXPECT_EQ(FindDestinationByID(kCompanionID), published)
      << "the virtual destination is found under its ID";
  EXPECT_EQ(MIDIGetNumberOfDestinations(), observer.ports(nullptr, JackPortIsInput).size());

  MIDIEndpointRef plain = FindByName(observer, observer.inputName());
  ASSERT_NE(plain, 0u);
  int32_t id = 77;
  EXPECT_NE(MIDIObjectGetIntegerProperty(plain, kMIDIPropertyUniqueID, &id), 0);
  EXPECT_EQ(id, 0) << "a port without metadata has ID 0";
  EXPECT_EQ(FindByName(observer, observer.inputName()), plain)
      << "handles are stable while the port exists";

  // Metadata set by another client reaches the cached list through JACK's callback.
  ASSERT_TRUE(observer.setUniqueID(observer.inputUUID(), "-5"));
  EXPECT_TRUE(WaitUntil([&] {
    int32_t value = 0;
    return MIDIObjectGetIntegerProperty(plain, kMIDIPropertyUniqueID, &value) == 0 && value == -5;
  }));

  ASSERT_EQ(MIDIEndpointDispose(published), 0);
  EXPECT_EQ(FindDestinationByID(kCompanionID), 0u)
      << "a disposed destination is gone from the search";
}

// The destination of a separate receiver process, once it is receiving: its port shows
// in the graph before its client is active, so active-sensing probes go out until one
// arrives. received() is cleared of them afterwards.
MIDIEndpointRef WaitForDump(JackObserver& observer, MIDIDump& dump, MIDIPortRef port) {
  MIDIEndpointRef found = 0;
  if (!WaitUntil([&] { return (found = FindByName(observer, dump.inputName())) != 0; })) return 0;
  PacketListBuffer probe;
  probe.add({0xFE});
  bool receiving = WaitUntil([&] {
    MIDISend(port, found, probe.list);
    return !dump.received().empty();
  });
  dump.forget();
  return receiving ? found : 0;
}

TEST_F(MIDIServices, SentPacketsArriveAsEventsInOrder) {
  MIDIDump dump;
  Client plugin;
  MIDIPortRef port = 0;
  ASSERT_EQ(MIDIOutputPortCreate(plugin.ref, "KorvelV2Out", &port), 0);
  MIDIEndpointRef destination = WaitForDump(observer, dump, port);
  ASSERT_NE(destination, 0u);

  Message command{0xF0, 0x7D, 0x01, 0x11, 0x51, 0x2C, 0x78, 0x01, 0xF7};
  Message tag{0xF0, 0x7D, 0x01, 0x11, 0x51, 0x2C, 0x78, 0xF7};
  Message noteOn{0x90, 0x3C, 0x64};
  PacketListBuffer first, second;
  first.add(command);
  second.add(tag).add(noteOn);
  EXPECT_EQ(MIDISend(port, destination, first.list), 0);
  EXPECT_EQ(MIDISend(port, destination, second.list), 0);

  ASSERT_TRUE(WaitUntil([&] { return dump.received().size() >= 3; })) << dump.received().size();
  EXPECT_EQ(dump.received(), (std::vector<Message>{command, tag, noteOn}));
  auto connections = jack_port_get_all_connections(
      observer.client(), jack_port_by_name(observer.client(), dump.inputName().c_str()));
  ASSERT_NE(connections, nullptr);
  EXPECT_STREQ(connections[0], "KorvelV2AU:KorvelV2Out");
  EXPECT_EQ(connections[1], nullptr) << "repeated sends connect once";
  jack_free(connections);

  // Two hundred instances link at once, on the two threads of the utility queue: no send
  // waits for its connection (so they have all returned long before the server has made
  // two hundred connections), and every heartbeat arrives. The receiver is a destination
  // of our own: its ring takes a cycle's whole burst, where jack_midi_dump's smaller one
  // drops events whenever its printing thread falls behind on a loaded machine.
  RecordingDestination inbox("heartbeats");
  ASSERT_NE(inbox.endpoint(), 0u);
  const char** inboxNames =
      jack_get_ports(observer.client(), ":heartbeats$", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput);
  ASSERT_TRUE(inboxNames && inboxNames[0]);
  const std::string inboxName = inboxNames[0];
  jack_free(inboxNames);
  constexpr int kInstances = 200;
  std::vector<MIDIPortRef> ports(kInstances);
  for (MIDIPortRef& p : ports) ASSERT_EQ(MIDIOutputPortCreate(plugin.ref, "KorvelV2Out", &p), 0);
  std::vector<Message> beats;
  for (int i = 0; i < kInstances; ++i)
    beats.push_back({0xF0, 0x7D, 0, 0, 0, uint8_t(i >> 7), uint8_t(i & 0x7F), 0x03, 0xF7});
  auto ticks = [&](int from) {
    for (int i = from; i < kInstances; i += 2) {
      PacketListBuffer beat;
      beat.add(beats[size_t(i)]);
      EXPECT_EQ(MIDISend(ports[size_t(i)], inbox.endpoint(), beat.list), 0);
    }
  };
  std::thread a(ticks, 0), b(ticks, 1);
  a.join();
  b.join();
  auto connected = [&] {
    const char** names = jack_port_get_all_connections(
        observer.client(), jack_port_by_name(observer.client(), inboxName.c_str()));
    int n = 0;
    while (names && names[n]) ++n;
    jack_free(names);
    return n;
  };
  EXPECT_LT(connected(), kInstances) << "the sends waited for their connections";
  ASSERT_TRUE(WaitUntil([&] { return inbox.packets().size() >= size_t(kInstances); },
                        std::chrono::seconds(30)))
      << inbox.packets().size();
  std::vector<Message> heard = inbox.packets();
  std::sort(heard.begin(), heard.end());
  EXPECT_EQ(heard, beats);
  EXPECT_EQ(connected(), kInstances);
}

// Into a virtual destination of our own, which hands over each event as a packet list of
// its own: its ring takes a whole burst in one cycle, which a separate receiver such as
// jack_midi_dump would not. The burst stays within the output ring (a full ring drops,
// by design).
TEST_F(MIDIServices, VirtualDestinationGetsEveryEventOfConcurrentSendersAsOnePacket) {
  Client plugin;
  RecordingDestination destination("inbox", plugin.ref);
  const MIDIEndpointRef inbox = destination.endpoint();
  ASSERT_NE(inbox, 0u);
  MIDIPortRef port = 0;
  ASSERT_EQ(MIDIOutputPortCreate(plugin.ref, "KorvelV2Out", &port), 0);
  auto count = [&] { return destination.count(); };
  PacketListBuffer pair;
  pair.add({0xF0, 0x7D, 0, 0, 0, 0, 1, 0xF7}).add({0xD0, 0x40});
  ASSERT_EQ(MIDISend(port, inbox, pair.list), 0);
  ASSERT_TRUE(WaitUntil([&] { return count() >= 2; }));

  constexpr int kPerThread = 600;
  auto sender = [&](uint8_t channel) {
    for (int i = 0; i < kPerThread; ++i) {
      PacketListBuffer packets;
      packets.add({static_cast<uint8_t>(0x90 | channel), static_cast<uint8_t>(i % 128),
                   static_cast<uint8_t>(i / 128)});
      MIDISend(port, inbox, packets.list);
    }
  };
  std::thread a(sender, 0), b(sender, 1);
  a.join();
  b.join();
  ASSERT_TRUE(WaitUntil([&] { return count() >= 2 + 2 * kPerThread; })) << count();

  const std::vector<Message> received = destination.packets();
  EXPECT_EQ(received.size(), 2u + 2 * kPerThread);
  EXPECT_EQ(destination.lists(), static_cast<int>(received.size())) << "one packet per list";
  EXPECT_EQ(received[0], (Message{0xF0, 0x7D, 0, 0, 0, 0, 1, 0xF7}));
  EXPECT_EQ(received[1], (Message{0xD0, 0x40}));
  int next[2] = {0, 0};
  for (size_t k = 2; k < received.size(); ++k) {
    const Message& m = received[k];
    ASSERT_EQ(m.size(), 3u);
    int channel = m[0] & 0x0F;
    EXPECT_EQ(m[1] + 128 * m[2], next[channel]) << "each sender's messages stay in order";
    next[channel]++;
  }
}

TEST_F(MIDIServices, SetupChangesReachLiveClientsOnlyAndServerLossLeavesHarmlessHandles) {
  Client witness, leaving("other");
  ASSERT_EQ(leaving.status, 0);
  MIDIPortRef port = 0;
  ASSERT_EQ(MIDIOutputPortCreate(witness.ref, "KorvelV2Out", &port), 0);
  MIDIEndpointRef destination = FindByName(observer, observer.inputName());
  ASSERT_NE(destination, 0u);
  int before = leaving.notifications;
  ASSERT_NE(observer.addInput("first"), nullptr);
  EXPECT_TRUE(WaitUntil([&] { return leaving.notifications > before; }))
      << "a new port is a setup change";

  ASSERT_EQ(MIDIClientDispose(leaving.ref), 0);
  leaving.ref = 0;
  int atDispose = leaving.notifications, witnessBefore = witness.notifications;
  ASSERT_NE(observer.addInput("second"), nullptr);
  ASSERT_TRUE(WaitUntil([&] { return witness.notifications > witnessBefore; }));
  EXPECT_EQ(leaving.notifications, atDispose) << "no notification after dispose returned";

  witnessBefore = witness.notifications;
  server.stop();
  EXPECT_TRUE(WaitUntil([&] { return witness.notifications > witnessBefore; }))
      << "losing the server is a setup change";
  PacketListBuffer packets;
  packets.add({0x90, 60, 100});
  MIDISend(port, destination, packets.list);
  EXPECT_EQ(MIDIGetNumberOfDestinations(), 0u);
  MIDIPortRef late = 0;
  EXPECT_EQ(MIDIOutputPortCreate(witness.ref, "late", &late), 0);
  EXPECT_NE(late, 0u) << "a handle that waits for a server";
  EXPECT_NE(MIDISend(late, destination, packets.list), 0);
  EXPECT_EQ(MIDIPortDispose(port), 0);
}

void SendNoteOn(MIDIPortRef port, MIDIEndpointRef destination, uint8_t note) {
  MIDISend(port, destination, PacketListBuffer().add({0x90, note, 100}).list);
}

TEST(MIDIServicesRestart, HandlesMadeBeforeAServerRestartWorkAfterIt) {
  PrivateJackServer jack;
  ASSERT_TRUE(jack.running());
  Client companion("Tolvane"), plugin;
  RecordingDestination link("Link In", companion.ref);
  ASSERT_NE(link.endpoint(), 0u);
  ASSERT_TRUE(link.setUniqueID(kCompanionID));
  MIDIPortRef port = 0;
  ASSERT_EQ(MIDIOutputPortCreate(plugin.ref, "KorvelV2Out", &port), 0);
  ASSERT_TRUE(WaitUntil([&] { return FindDestinationByID(kCompanionID) == link.endpoint(); }));
  SendNoteOn(port, link.endpoint(), 60);
  ASSERT_TRUE(WaitUntil([&] { return link.count() == 1; }));

  for (uint8_t note : {62, 63}) {  // a second restart works the same way
    const int changes = plugin.notifications.load();
    jack.stop();
    ASSERT_TRUE(WaitUntil([&] { return plugin.notifications.load() > changes; }));
    SendNoteOn(port, link.endpoint(), 61);  // into nowhere, harmlessly
    EXPECT_EQ(FindDestinationByID(kCompanionID), 0u);
    MIDIPortRef duringOutage = 0;  // a handle now, its JACK port when the server is back
    EXPECT_EQ(MIDIOutputPortCreate(plugin.ref, "late", &duringOutage), 0);
    EXPECT_NE(duringOutage, 0u);
    const int lost = plugin.notifications.load();
    ASSERT_TRUE(jack.start());
    ASSERT_TRUE(
        WaitUntil([&] { return plugin.notifications.load() > lost; }, std::chrono::seconds(15)))
        << "finding the server again is a setup change";
    ASSERT_TRUE(WaitUntil([&] { return FindDestinationByID(kCompanionID) == link.endpoint(); }))
        << "the destination is back under its old handle, with its ID";
    const size_t before = link.count();
    SendNoteOn(port, link.endpoint(), note);
    ASSERT_TRUE(WaitUntil([&] { return link.count() == before + 1; }))
        << "the old port handle sends again";
    EXPECT_EQ(link.packets().back(), (Message{0x90, note, 100}))
        << "nothing from the outage was kept";
    SendNoteOn(duringOutage, link.endpoint(), note);
    EXPECT_TRUE(WaitUntil([&] { return link.count() == before + 2; }))
        << "the port made during the outage sends";
  }
}

TEST(MIDIServicesRestart, APortMadeBeforeAnyServerRunsIsRegisteredUnderItsHandleWhenOneStarts) {
  PrivateJackServer jack;
  jack.stop();
  Client plugin;
  ASSERT_NE(plugin.ref, 0u) << "a client without a server";
  MIDIPortRef port = 0;
  ASSERT_EQ(MIDIOutputPortCreate(plugin.ref, "KorvelV2Out", &port), 0);
  ASSERT_NE(port, 0u);
  ASSERT_TRUE(jack.start());
  ASSERT_TRUE(WaitUntil([&] { return plugin.notifications.load() > 0; }, std::chrono::seconds(15)))
      << "finding a server is a setup change";
  Client companion("Tolvane");
  RecordingDestination link("Link In", companion.ref);
  ASSERT_TRUE(link.setUniqueID(kCompanionID));
  ASSERT_TRUE(WaitUntil([&] { return FindDestinationByID(kCompanionID) == link.endpoint(); }));
  SendNoteOn(port, link.endpoint(), 60);
  EXPECT_TRUE(WaitUntil([&] { return link.count() == 1; })) << "the early handle sends";
}

TEST(MIDIServicesRestart, ConnectionsUnderWayWhenTheServerStopsLeaveNothingStuck) {
  // Long periods (85 ms): a new connection takes effect at a cycle boundary, so the
  // connections asked for below are still being made when the server stops.
  PrivateJackServer jack(4096);
  ASSERT_TRUE(jack.running());
  Client receivers("Receivers"), plugin;
  std::vector<std::unique_ptr<RecordingDestination>> destinations;
  for (int i = 0; i < 150; ++i) {
    destinations.push_back(
        std::make_unique<RecordingDestination>("in" + std::to_string(i), receivers.ref));
    ASSERT_NE(destinations.back()->endpoint(), 0u);
  }
  MIDIPortRef port = 0;
  ASSERT_EQ(MIDIOutputPortCreate(plugin.ref, "KorvelV2Out", &port), 0);
  ASSERT_TRUE(WaitUntil([&] { return MIDIGetNumberOfDestinations() >= destinations.size(); }));
  // Every send goes to a destination the port is not yet connected to; none waits.
  for (auto& destination : destinations) SendNoteOn(port, destination->endpoint(), 60);
  ASSERT_TRUE(WaitUntil([&] { return destinations[1]->count() > 0; }));
  EXPECT_EQ(destinations.back()->count(), 0u) << "the stop comes while connections are still made";
  jack.stop();
  std::atomic<bool> disposed{false};
  std::thread closer([&] {
    MIDIPortDispose(port);
    MIDIClientDispose(plugin.ref);
    plugin.ref = 0;
    disposed = true;
  });
  const bool returned = WaitUntil([&] { return disposed.load(); });
  EXPECT_TRUE(returned) << "disposal stuck behind the connections under way";
  if (!returned)
    closer.detach();  // let the report out; the process is broken anyway
  else
    closer.join();
}

}  // namespace
}  // namespace korvel::test
