// korvel-companion-probe: the companion's side of the scale benchmark. It publishes a
// MIDI destination with the companion's unique ID and reports on standard output, one
// line each and without delay:
//   ready PERIOD_FRAMES SAMPLE_RATE     once the destination exists
//   hello UID                           the first message from each instance
//   event UID B0 B1 [B2] NANOSECONDS    each forwarded event, with its arrival time on
//                                       CLOCK_MONOTONIC (the same clock in every process)
// Heartbeats and commands are only counted, so that 500 instances cost this program
// next to nothing to report. It ends when standard input closes or on SIGTERM.
#include <jack/jack.h>
#include <poll.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <optional>
#include <set>

#include "interface/CompanionProtocol.h"
#include "platform/MIDIPacketList.h"
#include "platform/MIDIServices.h"

namespace {

constexpr int32_t kCompanionUniqueID = korvel::link::kCompanionDestinationID;

long long Now() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (long long)t.tv_sec * 1'000'000'000LL + t.tv_nsec;
}

// The read block runs on one reader thread; the state needs no lock of its own.
struct Receiver {
  std::optional<uint32_t> pendingTag;
  std::set<uint32_t> heard;

  static uint32_t UID(const uint8_t* b) {
    return (uint32_t(b[2]) << 28) | (uint32_t(b[3]) << 21) | (uint32_t(b[4]) << 14) |
           (uint32_t(b[5]) << 7) | b[6];
  }

  void take(const uint8_t* data, size_t length, long long at) {
    const bool sysex = length >= 8 && data[0] == korvel::link::kSysExStart &&
                       data[1] == korvel::link::kManufacturerNonCommercial &&
                       data[length - 1] == korvel::link::kSysExEnd;
    if (sysex) {
      uint32_t uid = UID(data);
      if (heard.insert(uid).second) std::printf("hello %08X\n", uid);
      if (length == 8) {
        pendingTag = uid;  // the event it names is the next message
      } else {
        pendingTag.reset();
      }
    } else if (pendingTag) {
      std::printf("event %08X", *pendingTag);
      for (size_t i = 0; i < length; ++i) std::printf(" %02X", data[i]);
      std::printf(" %lld\n", at);
      pendingTag.reset();
    }
    std::fflush(stdout);
  }
};

// The server's period and rate, for the latency bound.
void PeriodAndRate(long& frames, long& rate) {
  jack_status_t status;
  jack_client_t* client = jack_client_open("korvel-probe-info", JackNoStartServer, &status);
  if (!client) return;
  frames = jack_get_buffer_size(client);
  rate = jack_get_sample_rate(client);
  jack_client_close(client);
}

}  // namespace

int main() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);

  long frames = 0, rate = 0;
  PeriodAndRate(frames, rate);

  Receiver receiver;
  MIDIClientRef client = 0;
  if (MIDIClientCreateWithBlock("Tolvane", &client, nullptr) != 0) {
    std::fprintf(stderr, "korvel-companion-probe: no JACK server\n");
    return 1;
  }
  MIDIEndpointRef destination = 0;
  MIDIDestinationCreateWithBlock(client, "Tolvane Link", &destination,
                                 [&](const MIDIPacketList* list) {
                                   const long long at = Now();
                                   const MIDIPacket* p = list->packet;
                                   for (uint32_t i = 0; i < list->numPackets; ++i) {
                                     receiver.take(p->data, p->length, at);
                                     p = MIDIPacketNext(p);
                                   }
                                 });
  if (destination == 0 ||
      MIDIObjectSetIntegerProperty(destination, kMIDIPropertyUniqueID, kCompanionUniqueID) != 0) {
    std::fprintf(stderr, "korvel-companion-probe: cannot publish the destination\n");
    return 1;
  }
  std::printf("ready %ld %ld\n", frames, rate);
  std::fflush(stdout);

  // Until standard input closes or a termination signal comes.
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  pollfd in{0, POLLIN, 0};
  char buffer[256];
  while (poll(&in, 1, -1) >= 0)
    if (read(0, buffer, sizeof buffer) <= 0) break;
  MIDIEndpointDispose(destination);
  MIDIClientDispose(client);
  return 0;
}
