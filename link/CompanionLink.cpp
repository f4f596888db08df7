// The live link with the companion: MIDI client and port, the destination search, the
// 100 ms link tick that forwards queued events and sends the heartbeat, the one-shot task
// that enables the heartbeat, and the companion's track-changed notification.
//
// Everything scheduled here may still run after the host has closed the instance, so
// each of them holds a reference on the record (KR_Retain) and lets go when it can no
// longer run: the timer in its cancel handler (which runs after a tick under way has
// finished), the one-shot task when it has run, the notification registration through a
// main-queue task queued behind any handler already running there.
#include <chrono>
#include <cstring>

#include "interface/CompanionProtocol.h"
#include "link/CompanionLink.h"
#include "platform/Dispatch.h"
#include "platform/MIDIPacketList.h"
#include "platform/Notify.h"
#include "record/KorvelInstance.h"

using namespace std::chrono_literals;
using korvel::platform::CurrentDispatcher;
using korvel::platform::DispatchQueue;

namespace {

constexpr auto kTickInterval = 100ms;
constexpr auto kTickLeeway = 10ms;
constexpr auto kHeartbeatDelay = 300ms;
constexpr int kConnectionFileEveryTicks = 5;
constexpr int kHeartbeatEveryTicks = 10;

void ForwardPending(KorvelInstance* inst, MIDIPortRef port, MIDIEndpointRef dest) {
  PendingEvent events[kKorvelMaxPending];
  const int n = KR_DrainPending(inst, events);
  if (n == 0) return;
  uint8_t tag[korvel::link::kTagLength];
  KR_CopySysExHeader(inst, tag);
  tag[7] = korvel::link::kSysExEnd;
  for (int i = 0; i < n; ++i) {
    alignas(8) Byte buffer[sizeof(MIDIPacketList)];
    auto* list = reinterpret_cast<MIDIPacketList*>(buffer);
    MIDIPacket* packet = MIDIPacketListInit(list);
    packet = MIDIPacketListAdd(list, sizeof buffer, packet, 0, sizeof tag, tag);
    const Byte event[3] = {events[i].status, events[i].dataByte1, events[i].dataByte2};
    MIDIPacketListAdd(list, sizeof buffer, packet, 0, events[i].length, event);
    MIDISend(port, dest, list);
  }
}

}  // namespace

void KR_FindDestination(KorvelInstance* inst) {
  KR_Store(inst->companionDestination, 0u);
  const unsigned long count = MIDIGetNumberOfDestinations();
  for (unsigned long i = 0; i < count; ++i) {
    const MIDIEndpointRef dest = MIDIGetDestination(i);
    int32_t id = 0;
    MIDIObjectGetIntegerProperty(dest, kMIDIPropertyUniqueID, &id);
    if (id == korvel::link::kCompanionDestinationID) {
      KR_Store(inst->companionDestination, dest);
      return;
    }
  }
}

void KR_SendSysEx(KorvelInstance* inst, unsigned char command) {
  const MIDIPortRef port = KR_Load(inst->midiOutPort);
  const MIDIEndpointRef dest = KR_Load(inst->companionDestination);
  if (port == 0 || dest == 0) return;
  uint8_t message[korvel::link::kCommandLength];
  KR_CopySysExHeader(inst, message);
  message[7] = command;
  message[8] = korvel::link::kSysExEnd;
  alignas(8) Byte buffer[sizeof(MIDIPacketList)];
  auto* list = reinterpret_cast<MIDIPacketList*>(buffer);
  MIDIPacketListAdd(list, sizeof buffer, MIDIPacketListInit(list), 0, sizeof message, message);
  MIDISend(port, dest, list);
}

void KR_LinkTick(KorvelInstance* inst) {
  if (KR_Load(inst->companionDestination) == 0) {
    // A search of the same destinations as the last one that found nothing would find
    // nothing again: with hundreds of instances and no companion, each tick walking
    // every MIDI input of the graph would cost more than everything else together.
    const uint64_t generation = MIDIGetDestinationsGeneration();
    if (generation != inst->searchedDestinations) {
      KR_FindDestination(inst);
      inst->searchedDestinations = KR_Load(inst->companionDestination) == 0 ? generation : 0;
    }
  }

  const int32_t fileTicks = KR_Load(inst->connectionFileTicks);
  KR_Store(inst->connectionFileTicks, fileTicks + 1);
  if (fileTicks >= kConnectionFileEveryTicks - 1) {
    KR_Store(inst->connectionFileTicks, 0);
    KR_ReadConnectionFile(inst);
  }

  const MIDIPortRef port = KR_Load(inst->midiOutPort);
  const MIDIEndpointRef dest = KR_Load(inst->companionDestination);
  if (port != 0 && dest != 0) ForwardPending(inst, port, dest);

  const int32_t beatTicks = KR_Load(inst->heartbeatTicks);
  KR_Store(inst->heartbeatTicks, beatTicks + 1);
  if (KR_Load(inst->heartbeatEnabled) && beatTicks >= kHeartbeatEveryTicks - 1) {
    KR_Store(inst->heartbeatTicks, 0);
    KR_SendSysEx(inst, korvel::link::kCommandHeartbeat);
  }
}

void KR_SetupMIDIAndTimer(KorvelInstance* inst) {
  MIDIClientRef client = 0;
  MIDIClientCreateWithBlock(korvel::link::kMIDIClientName, &client,
                            [inst](const MIDINotification* note) {
                              if (note->messageID == kMIDIMsgSetupChanged)
                                KR_Store(inst->companionDestination, 0u);
                            });
  KR_Store(inst->midiClient, client);
  MIDIPortRef port = 0;
  if (client != 0) MIDIOutputPortCreate(client, korvel::link::kMIDIPortName, &port);
  KR_Store(inst->midiOutPort, port);

  KR_FindDestination(inst);
  KR_WriteSysExHeader(inst, KR_Load(inst->uniqueID));
  KR_Store(inst->heartbeatTicks, 0);
  KR_Store(inst->heartbeatEnabled, 0);
  KR_Store(inst->connectionFileTicks, 0);

  // Each step below may run out of memory (Open then tears down what stands): a
  // reference is taken only for work that has been handed over, so none is left behind.
  auto& dispatcher = CurrentDispatcher();
  KR_Retain(inst);
  try {
    dispatcher.after(kHeartbeatDelay, DispatchQueue::Main, [inst] {
      KR_Store(inst->heartbeatEnabled, 1);
      KR_Release(inst);
    });
  } catch (...) {
    KR_Release(inst);
    throw;
  }

  korvel::platform::TimerSource* timer = dispatcher.makeTimerSource(DispatchQueue::Utility);
  inst->linkTimer = timer;
  // The instance whose events go to the companion ticks right at its deadlines: with
  // leeway, where in its window a shared wake-up lands changes from period to period, and
  // an event could wait longer than one period for its tick. The others keep the leeway
  // and join its wake-ups. The timer outlives every run of its own handler.
  timer->setEventHandler([inst, timer] {
    KR_LinkTick(inst);
    const bool forwarding = KR_Load(inst->isConnected) != 0 && KR_Load(inst->isActiveTrack) != 0;
    timer->setLeeway(forwarding ? korvel::platform::Duration::zero() : kTickLeeway);
  });
  timer->setCancelHandler([inst] { KR_Release(inst); });
  KR_Retain(inst);  // given back by the cancel handler
  timer->setTimer(0ns, kTickInterval, kTickLeeway);
  timer->resume();

  KR_Retain(inst);
  int token = 0;
  try {
    token = korvel::platform::NotifyRegister(korvel::link::kTrackChangedNotification,
                                             DispatchQueue::Main, [inst] {
                                               KR_ReadConnectionFile(inst);
                                               KR_CheckActiveTrack(inst);
                                             });
  } catch (...) {
    KR_Release(inst);
    throw;
  }
  if (token == 0) KR_Release(inst);
  KR_Store(inst->trackChangedToken, token);
}

void KR_TeardownMIDIAndTimer(KorvelInstance* inst) {
  if (inst->linkTimer != nullptr) {
    inst->linkTimer->cancel();
    inst->linkTimer->release();
    inst->linkTimer = nullptr;
  }
  if (const int token = KR_Load(inst->trackChangedToken); token != 0) {
    korvel::platform::NotifyCancel(token);
    KR_Store(inst->trackChangedToken, 0);
    // Behind any handler that is running or queued on the main queue right now.
    CurrentDispatcher().async(DispatchQueue::Main, [inst] { KR_Release(inst); });
  }
  if (const MIDIPortRef port = KR_Load(inst->midiOutPort); port != 0) {
    MIDIPortDispose(port);
    KR_Store(inst->midiOutPort, 0u);
  }
  if (const MIDIClientRef client = KR_Load(inst->midiClient); client != 0) {
    MIDIClientDispose(client);
    KR_Store(inst->midiClient, 0u);
  }
}
