/*
 * The process's one JACK client as the MIDI services use it: MIDI ports of this process
 * that exchange messages with JACK's real-time thread through lock-free rings, the
 * graph's MIDI input ports with their unique-ID metadata, and the graph-change signal.
 *
 * The process callback only moves prepared bytes between the rings and the port
 * buffers: no allocation, no lock, no system call. Ports are published to it through a
 * fixed table of atomic pointers; removing a port waits for the cycle that may still be
 * using it to end before the port is unregistered and freed.
 *
 * A send never waits for the server: when its port is not yet connected to the
 * destination, the packets wait in the port's bounded queue and the connection's one
 * connector thread makes the connection and moves them into the ring, in order, as soon
 * as the graph carries it.
 */
#pragma once

#include <jack/jack.h>
#include <jack/uuid.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/JackMIDIRing.h"

namespace korvel::platform::jack {

/* JACK metadata key of a port's MIDI unique ID (decimal text of a signed 32-bit value). */
inline constexpr const char* kUniqueIDMetadataKey = "urn:x-midi:unique-id";

/* Parses the metadata value; nothing for text that is not a 32-bit decimal integer.
 * Values up to 4294967295 are accepted and wrap, for writers that print the ID unsigned. */
std::optional<int32_t> ParseUniqueID(const char* text);

/* One JACK MIDI port registered by this process. */
class MIDIPort : public std::enable_shared_from_this<MIDIPort> {
 public:
  /* Packet lists that may wait for a connection before the oldest goes out. */
  static constexpr size_t kMaxWaitingLists = 256;

  enum class Direction { Output, Input };
  MIDIPort(Direction direction, size_t ringCapacity) : direction(direction), ring(ringCapacity) {}

  const Direction direction;
  /* Output: filled by senders (serialised by sendMutex), drained by the process callback.
   * Input: filled by the process callback, drained by the single reader thread. */
  MIDIRing ring;
  std::string shortName;
  std::string fullName;
  jack_uuid_t uuid = 0;

 private:
  friend class MIDIConnection;
  jack_port_t* port_ = nullptr;
  int slot_ = -1;
  // Output: whether the port's buffer may hold anything (process thread only). A buffer
  // keeps its contents between cycles, so one emptied and not written since stays empty
  // and an idle port costs the cycle nothing.
  bool bufferUsed_ = true;
  bool removed_ = false;  // guarded by sendMutex_
  std::mutex sendMutex_;  // serialises the producers of an output port's ring
  // Packet lists sent before the port was connected to their destination, oldest first,
  // and the connection asked for on their behalf (guarded by sendMutex_).
  struct WaitingList {
    std::string destination;
    std::vector<uint8_t> bytes;
  };
  std::deque<WaitingList> waiting_;
  std::string requestedFor_;
  std::chrono::steady_clock::time_point requestDeadline_{};
};

/* A MIDI input port of the graph, as a destination. */
struct GraphDestination {
  jack_uuid_t uuid = 0;
  std::string name;
  std::optional<int32_t> uniqueID;
};

class MIDIConnection {
 public:
  static constexpr size_t kMaxPorts = 4096;
  static constexpr size_t kOutputRingBytes = 16 * 1024;
  static constexpr size_t kInputRingBytes = 256 * 1024;

  /* Opens the JACK client without starting a server; nullptr when no server answers.
   * `onGraphChanged` runs on JACK's notification thread whenever a port or client
   * appears, disappears or is renamed, and once when the server goes away: keep it short
   * and do not call JACK from it. */
  static std::unique_ptr<MIDIConnection> open(const std::string& clientName,
                                              std::function<void()> onGraphChanged);
  ~MIDIConnection();
  MIDIConnection(const MIDIConnection&) = delete;
  MIDIConnection& operator=(const MIDIConnection&) = delete;

  /* False once the server has shut the client down; every call is then a no-op. */
  bool alive() const { return !dead_.load(std::memory_order_acquire); }
  /* Deactivates and closes the client; waits for calls under way on other threads to
   * return first, and no JACK call is made through this object afterwards. Idempotent;
   * the destructor does it too.
   *
   * A client whose server has gone away is not closed but let go: libjack frees every
   * such client of the process itself at the next jack_client_open (whoever makes it),
   * so closing it ourselves could free it twice. Keep the object alive until a later
   * open has succeeded, so that nothing libjack still holds points at freed memory. */
  void close();
  const std::string& clientName() const { return clientName_; }

  /* Registers a port named `baseName`, or `baseName-2`, `-3` ... when that name is
   * taken. nullptr on failure. */
  std::shared_ptr<MIDIPort> addPort(const std::string& baseName, MIDIPort::Direction direction);
  void removePort(const std::shared_ptr<MIDIPort>& port);

  /* Queues every packet of the list (all or nothing) for the first cycle in which `port`
   * is connected to the input port named `destination`; the connection is asked for if
   * needed, without waiting. False when the port is gone, the connection is dead, or the
   * ring (or, before the connection, the port's waiting queue) is full. */
  bool send(MIDIPort& port, const std::string& destination, const MIDIPacketList* list);

  bool setUniqueID(const MIDIPort& port, int32_t id);

  /* Bumped by every change of the graph or of port metadata. */
  uint64_t graphGeneration() const { return generation_.load(std::memory_order_acquire); }
  /* Reads the graph's MIDI input ports with their IDs (server and metadata queries:
   * callers cache the result per graphGeneration()). */
  std::vector<GraphDestination> readDestinations();

  /* Entry points of JACK's (non-real-time) notification callbacks. */
  void graphChangedFromJack();
  void metadataChangedFromJack();
  void bufferSizeChangedFromJack() { clearAllBuffers_.store(true, std::memory_order_release); }
  void shutdownFromJack();

 private:
  MIDIConnection() = default;
  static int processThunk(jack_nframes_t frames, void* self);
  int process(jack_nframes_t frames);
  void waitForCycleEnd();
  void runConnector();
  /* Connects `port` for its oldest waiting list and moves what may go into the ring, at
   * most `budget` lists (counted down); true while something is left waiting. */
  bool serveWaiting(MIDIPort& port, int& budget);
  void stopConnector();

  jack_client_t* client_ = nullptr;
  std::string clientName_;
  std::function<void()> onGraphChanged_;
  std::atomic<bool> dead_{false};
  std::atomic<uint64_t> generation_{1};

  // Held shared by every call that goes through client_ and exclusively by close(), so
  // that a client is never closed (or let go to libjack) under a call still using it.
  // Order: a port's sendMutex_, then clientMutex_, then portsMutex_.
  std::shared_mutex clientMutex_;

  std::mutex portsMutex_;            // port registration and the slot table's writers
  std::set<std::string> usedNames_;  // guarded by portsMutex_
  std::array<std::atomic<MIDIPort*>, kMaxPorts> slots_{};
  std::atomic<size_t> slotsInUse_{0};  // high-water mark the process callback scans to
  // The slots the next cycle must look at, a bit each: set by whatever gives a port
  // something to do (a new port, packets in an output port's ring) and kept by the cycle
  // for ports that still need it (input ports always, an output port until its buffer is
  // empty again). A cycle of an idle template reads a few words instead of every port.
  std::array<std::atomic<uint64_t>, kMaxPorts / 64> visit_{};
  void markForVisit(int slot) {
    visit_[static_cast<size_t>(slot) / 64].fetch_or(uint64_t{1} << (slot % 64),
                                                    std::memory_order_release);
  }
  std::atomic<bool> inCycle_{false};
  std::atomic<bool> clearAllBuffers_{false};  // after a buffer-size change
  std::atomic<uint64_t> cycles_{0};

  // The connector: ports with waiting packets, and the thread that serves them (started
  // on the first send that has to wait).
  std::mutex connectMutex_;
  std::condition_variable connectWake_;
  std::vector<std::shared_ptr<MIDIPort>> connecting_;  // guarded by connectMutex_
  bool connectorStopping_ = false;                     // guarded by connectMutex_
  std::thread connector_;                              // guarded by connectMutex_
};

}  // namespace korvel::platform::jack
