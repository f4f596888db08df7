// One link tick that forwards a full queue of 256 events, against the floor of sending the
// same 256 tagged packet lists straight through MIDISend. Runs against a private JACK
// server with a destination carrying the companion's ID.
#include <benchmark/benchmark.h>

#include <cstring>

#include "component/KorvelComponent.h"
#include "interface/CompanionProtocol.h"
#include "link/CompanionLink.h"
#include "platform/MIDIPacketList.h"
#include "tests/support/TestSupport.h"

namespace {

korvel::test::PrivateJackServer* gJack;
korvel::test::VirtualDispatchScope* gClock;
MIDIClientRef gCompanionClient;
MIDIEndpointRef gCompanion;

struct Instance {
  KorvelInstance* inst;
  Instance() {
    auto* iface = KorvelAUFactory(nullptr);
    iface->Open(iface, iface);
    inst = reinterpret_cast<KorvelInstance*>(iface);
    KR_Store(inst->isConnected, 1);
    KR_Store(inst->isActiveTrack, 1);
    // Keep the file read and the heartbeat out of the ticks being measured.
    KR_Store(inst->connectionFileTicks, -1000000000);
  }
  ~Instance() { inst->plugInInterface.Close(inst); }
  void fillQueue() {
    KR_Lock(&inst->pendingLock);
    for (int i = 0; i < kKorvelMaxPending; ++i)
      inst->pendingEvents[i] = {0x90, uint8_t(i & 127), 100, 3};
    inst->pendingCount = kKorvelMaxPending;
    KR_Unlock(&inst->pendingLock);
  }
};

void BM_Baseline_SendTaggedPackets(benchmark::State& state) {
  Instance a;
  const MIDIPortRef port = KR_Load(a.inst->midiOutPort);
  for (auto _ : state) {
    for (int i = 0; i < kKorvelMaxPending; ++i) {
      alignas(8) Byte buffer[256];
      auto* list = reinterpret_cast<MIDIPacketList*>(buffer);
      Byte tag[8];
      std::memcpy(tag, a.inst->sysexHeader, 7);
      tag[7] = 0xF7;
      const Byte event[3] = {0x90, Byte(i & 127), 100};
      MIDIPacket* p = MIDIPacketListAdd(list, sizeof buffer, MIDIPacketListInit(list), 0, 8, tag);
      MIDIPacketListAdd(list, sizeof buffer, p, 0, 3, event);
      MIDISend(port, gCompanion, list);
    }
  }
  state.SetItemsProcessed(state.iterations() * kKorvelMaxPending);
}
BENCHMARK(BM_Baseline_SendTaggedPackets);

void BM_LinkTick_Full256Queue(benchmark::State& state) {
  Instance a;
  KR_Store(a.inst->companionDestination, gCompanion);
  for (auto _ : state) {
    state.PauseTiming();
    a.fillQueue();
    state.ResumeTiming();
    KR_LinkTick(a.inst);
  }
  state.SetItemsProcessed(state.iterations() * kKorvelMaxPending);
}
BENCHMARK(BM_LinkTick_Full256Queue);

}  // namespace

int main(int argc, char** argv) {
  korvel::test::PrivateJackServer jack;
  korvel::test::VirtualDispatchScope clock;
  gJack = &jack;
  gClock = &clock;
  MIDIClientCreateWithBlock("KorvelBenchCompanion", &gCompanionClient,
                            [](const MIDINotification*) {});
  MIDIDestinationCreateWithBlock(gCompanionClient, "Bench Companion In", &gCompanion,
                                 [](const MIDIPacketList*) {});
  MIDIObjectSetIntegerProperty(gCompanion, kMIDIPropertyUniqueID,
                               korvel::link::kCompanionDestinationID);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  MIDIEndpointDispose(gCompanion);
  MIDIClientDispose(gCompanionClient);
  return 0;
}
