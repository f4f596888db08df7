#include "platform/JackMIDIConnection.h"

#include <jack/metadata.h>
#include <pthread.h>
#include <jack/midiport.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace korvel::platform::jack {

namespace {

// JACK reports "cannot connect to server" through its error callback on the opening
// thread. Without a server that is the expected case, so it is kept quiet there; every
// other message still goes wherever it went before.
thread_local bool tlsOpeningClient = false;
void (*gPreviousErrorCallback)(const char*) = nullptr;

void FilteredJackError(const char* message) {
  if (tlsOpeningClient) return;
  if (gPreviousErrorCallback) {
    gPreviousErrorCallback(message);
  } else {
    std::fprintf(stderr, "%s\n", message);
  }
}

void InstallErrorFilter() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (jack_error_callback != FilteredJackError) gPreviousErrorCallback = jack_error_callback;
    jack_set_error_function(FilteredJackError);
  });
}

void OnPortRegistration(jack_port_id_t, int, void* self) {
  static_cast<MIDIConnection*>(self)->graphChangedFromJack();
}
void OnClientRegistration(const char*, int, void* self) {
  static_cast<MIDIConnection*>(self)->graphChangedFromJack();
}
void OnPortRename(jack_port_id_t, const char*, const char*, void* self) {
  static_cast<MIDIConnection*>(self)->graphChangedFromJack();
}
void OnPropertyChange(jack_uuid_t, const char*, jack_property_change_t, void* self) {
  static_cast<MIDIConnection*>(self)->metadataChangedFromJack();
}
void OnShutdown(void* self) { static_cast<MIDIConnection*>(self)->shutdownFromJack(); }
int OnBufferSize(jack_nframes_t, void* self) {
  static_cast<MIDIConnection*>(self)->bufferSizeChangedFromJack();
  return 0;
}

}  // namespace

std::optional<int32_t> ParseUniqueID(const char* text) {
  if (!text || !*text) return std::nullopt;
  errno = 0;
  char* end = nullptr;
  long long value = std::strtoll(text, &end, 10);
  while (end && (*end == ' ' || *end == '\n' || *end == '\t' || *end == '\r')) ++end;
  if (errno != 0 || end == text || *end != '\0') return std::nullopt;
  if (value < INT32_MIN || value > static_cast<long long>(UINT32_MAX)) return std::nullopt;
  return static_cast<int32_t>(static_cast<uint32_t>(value));
}

std::unique_ptr<MIDIConnection> MIDIConnection::open(const std::string& clientName,
                                                     std::function<void()> onGraphChanged) {
  InstallErrorFilter();
  std::unique_ptr<MIDIConnection> connection(new MIDIConnection());
  connection->onGraphChanged_ = std::move(onGraphChanged);

  jack_status_t status;
  tlsOpeningClient = true;
  jack_client_t* client = jack_client_open(clientName.c_str(), JackNoStartServer, &status);
  tlsOpeningClient = false;
  if (!client) return nullptr;
  connection->client_ = client;
  connection->clientName_ = jack_get_client_name(client);

  // JACK takes callbacks only before activation.
  MIDIConnection* self = connection.get();
  bool ok = jack_set_process_callback(client, processThunk, self) == 0 &&
            jack_set_port_registration_callback(client, OnPortRegistration, self) == 0 &&
            jack_set_client_registration_callback(client, OnClientRegistration, self) == 0 &&
            jack_set_port_rename_callback(client, OnPortRename, self) == 0 &&
            jack_set_property_change_callback(client, OnPropertyChange, self) == 0 &&
            jack_set_buffer_size_callback(client, OnBufferSize, self) == 0;
  if (!ok) return nullptr;  // the destructor closes the client
  jack_on_shutdown(client, OnShutdown, self);
  if (jack_activate(client) != 0) return nullptr;
  return connection;
}

MIDIConnection::~MIDIConnection() { close(); }

void MIDIConnection::stopConnector() {
  std::thread connector;
  {
    std::lock_guard lock(connectMutex_);
    connectorStopping_ = true;
    connecting_.clear();
    connector = std::move(connector_);
  }
  connectWake_.notify_all();
  if (connector.joinable()) connector.join();
}

void MIDIConnection::close() {
  stopConnector();
  std::unique_lock use(clientMutex_);
  std::lock_guard lock(portsMutex_);
  if (!client_) return;
  if (alive()) {
    jack_deactivate(client_);
    dead_.store(true, std::memory_order_release);
    jack_client_close(client_);
  }
  // else: the server is gone and libjack frees the client at the next open (see the
  // header); calling jack_client_close now could be the second free.
  client_ = nullptr;
  for (auto& slot : slots_) slot.store(nullptr, std::memory_order_relaxed);
}

void MIDIConnection::graphChangedFromJack() {
  generation_.fetch_add(1, std::memory_order_acq_rel);
  if (onGraphChanged_) onGraphChanged_();
}

void MIDIConnection::metadataChangedFromJack() {
  generation_.fetch_add(1, std::memory_order_acq_rel);
}

void MIDIConnection::shutdownFromJack() {
  dead_.store(true, std::memory_order_release);
  graphChangedFromJack();
}

int MIDIConnection::processThunk(jack_nframes_t frames, void* self) {
  return static_cast<MIDIConnection*>(self)->process(frames);
}

// Real-time thread: copies between rings and port buffers, nothing else.
int MIDIConnection::process(jack_nframes_t frames) {
  inCycle_.store(true, std::memory_order_seq_cst);
  size_t count = slotsInUse_.load(std::memory_order_acquire);
  const bool clearAll = clearAllBuffers_.exchange(false, std::memory_order_acq_rel);
  for (size_t word = 0; word * 64 < count; ++word) {
    uint64_t bits = visit_[word].exchange(0, std::memory_order_acq_rel);
    // After a buffer-size change every port in use is visited once.
    if (const size_t inWord = count - word * 64; clearAll)
      bits |= inWord >= 64 ? ~uint64_t{0} : (uint64_t{1} << inWord) - 1;
    uint64_t keep = 0;
    for (; bits != 0; bits &= bits - 1) {
      const int bit = __builtin_ctzll(bits);
      const size_t i = word * 64 + static_cast<size_t>(bit);
      if (i >= count) {
        // Ports published after this cycle read the count: theirs is the next cycle.
        keep |= bits;
        break;
      }
      MIDIPort* port = slots_[i].load(std::memory_order_seq_cst);
      if (!port) continue;
      const bool output = port->direction == MIDIPort::Direction::Output;
      void* buffer = jack_port_get_buffer(port->port_, frames);
      if (buffer && output) {
        jack_midi_clear_buffer(buffer);
        size_t written = 0;
        while (uint16_t length = port->ring.frontLength()) {
          jack_midi_data_t* event = jack_midi_event_reserve(buffer, 0, length);
          if (!event) {
            // A message that does not fit even an empty buffer never will: drop it rather
            // than block the port. Otherwise the rest waits for the next cycle, in order.
            if (written == 0) port->ring.dropFront();
            break;
          }
          port->ring.popFront(event);
          ++written;
        }
        // A buffer keeps its contents between cycles: one written now is cleared next.
        port->bufferUsed_ = written > 0;
      } else if (buffer) {
        jack_nframes_t events = jack_midi_get_event_count(buffer);
        for (jack_nframes_t e = 0; e < events; ++e) {
          jack_midi_event_t event;
          if (jack_midi_event_get(&event, buffer, e) != 0) continue;
          if (event.size == 0 || event.size > UINT16_MAX) continue;
          port->ring.push(event.buffer, static_cast<uint16_t>(event.size));  // full: dropped
        }
      }
      if (!output || port->bufferUsed_ || port->ring.frontLength() != 0) keep |= uint64_t{1} << bit;
    }
    if (keep != 0) visit_[word].fetch_or(keep, std::memory_order_relaxed);
  }
  cycles_.fetch_add(1, std::memory_order_seq_cst);
  inCycle_.store(false, std::memory_order_seq_cst);
  return 0;
}

// After a slot was cleared: returns once no process cycle can still hold the old
// pointer. A cycle that started before the clearing is waited for; a later one sees the
// empty slot. A server that stalls for longer than the bound leaves the caller to keep
// the port alive (see removePort).
void MIDIConnection::waitForCycleEnd() {
  uint64_t before = cycles_.load(std::memory_order_seq_cst);
  if (!inCycle_.load(std::memory_order_seq_cst)) return;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (cycles_.load(std::memory_order_seq_cst) == before && alive()) {
    if (std::chrono::steady_clock::now() > deadline) break;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
}

std::shared_ptr<MIDIPort> MIDIConnection::addPort(const std::string& baseName,
                                                  MIDIPort::Direction direction) {
  std::shared_lock use(clientMutex_);
  std::lock_guard lock(portsMutex_);
  if (!client_ || !alive()) return nullptr;
  size_t slot = 0;
  while (slot < kMaxPorts && slots_[slot].load(std::memory_order_relaxed)) ++slot;
  if (slot == kMaxPorts) return nullptr;

  bool output = direction == MIDIPort::Direction::Output;
  auto port = std::make_shared<MIDIPort>(direction, output ? kOutputRingBytes : kInputRingBytes);
  unsigned long flags = output ? JackPortIsOutput : JackPortIsInput;
  for (int suffix = 1; suffix < 10000 && !port->port_; ++suffix) {
    std::string name = suffix == 1 ? baseName : baseName + "-" + std::to_string(suffix);
    if (usedNames_.count(name)) continue;
    port->port_ = jack_port_register(client_, name.c_str(), JACK_DEFAULT_MIDI_TYPE, flags, 0);
    if (port->port_) port->shortName = name;
  }
  if (!port->port_) return nullptr;
  usedNames_.insert(port->shortName);
  port->fullName = jack_port_name(port->port_);
  port->uuid = jack_port_uuid(port->port_);
  port->slot_ = static_cast<int>(slot);
  slots_[slot].store(port.get(), std::memory_order_seq_cst);
  markForVisit(port->slot_);
  if (slotsInUse_.load(std::memory_order_relaxed) < slot + 1) {
    slotsInUse_.store(slot + 1, std::memory_order_release);
  }
  generation_.fetch_add(1, std::memory_order_acq_rel);
  return port;
}

void MIDIConnection::removePort(const std::shared_ptr<MIDIPort>& port) {
  if (!port) return;
  {
    std::lock_guard sendLock(port->sendMutex_);
    if (port->removed_) return;
    port->removed_ = true;
  }
  std::shared_lock use(clientMutex_);
  std::lock_guard lock(portsMutex_);
  if (port->slot_ >= 0) slots_[port->slot_].store(nullptr, std::memory_order_seq_cst);
  waitForCycleEnd();
  if (client_ && alive()) {
    if (port->direction == MIDIPort::Direction::Input) jack_remove_properties(client_, port->uuid);
    jack_port_unregister(client_, port->port_);
  }
  usedNames_.erase(port->shortName);
  port->slot_ = -1;
  generation_.fetch_add(1, std::memory_order_acq_rel);
  // The caller's shared_ptr keeps the object itself alive, so a stalled cycle that still
  // reads it does not touch freed memory before the last reference goes.
}

namespace {

size_t PacketListBytes(const MIDIPacketList* list) {
  const MIDIPacket* packet = list->packet;
  for (uint32_t i = 0; i < list->numPackets; ++i) packet = MIDIPacketNext(packet);
  return static_cast<size_t>(reinterpret_cast<const uint8_t*>(packet) -
                             reinterpret_cast<const uint8_t*>(list));
}

}  // namespace

bool MIDIConnection::send(MIDIPort& port, const std::string& destination,
                          const MIDIPacketList* list) {
  if (!alive() || port.direction != MIDIPort::Direction::Output) return false;
  std::lock_guard lock(port.sendMutex_);
  {
    std::shared_lock use(clientMutex_);
    if (port.removed_ || !client_ || !alive()) return false;
    if (port.waiting_.empty() && jack_port_connected_to(port.port_, destination.c_str())) {
      if (!port.ring.pushPacketList(list)) return false;
      markForVisit(port.slot_);
      return true;
    }
  }
  // Not connected yet, or earlier packets still wait: these go out behind them.
  if (port.waiting_.size() >= MIDIPort::kMaxWaitingLists) return false;
  const auto* bytes = reinterpret_cast<const uint8_t*>(list);
  port.waiting_.push_back(
      {destination, std::vector<uint8_t>(bytes, bytes + PacketListBytes(list))});
  std::lock_guard connecting(connectMutex_);
  if (connectorStopping_) return true;  // closing: the waiting packets go with the port
  connecting_.push_back(port.shared_from_this());
  if (!connector_.joinable()) connector_ = std::thread([this] { runConnector(); });
  connectWake_.notify_one();
  return true;
}

bool MIDIConnection::serveWaiting(MIDIPort& port, int& budget) {
  std::string destination;
  bool ask = false;
  {
    std::lock_guard lock(port.sendMutex_);
    std::shared_lock use(clientMutex_);
    if (port.removed_ || !client_ || !alive()) {
      port.waiting_.clear();
      return false;
    }
    while (!port.waiting_.empty()) {
      MIDIPort::WaitingList& next = port.waiting_.front();
      const bool connected = jack_port_connected_to(port.port_, next.destination.c_str());
      // A connection that does not show within a second is not waited for any longer:
      // the packets go out as they would have before.
      const bool givenUp = port.requestedFor_ == next.destination &&
                           std::chrono::steady_clock::now() > port.requestDeadline_;
      if (!connected && !givenUp) {
        if (port.requestedFor_ != next.destination) {
          destination = next.destination;
          ask = true;
        }
        break;
      }
      if (budget == 0 ||
          !port.ring.pushPacketList(reinterpret_cast<const MIDIPacketList*>(next.bytes.data())))
        break;
      --budget;
      port.waiting_.pop_front();
      markForVisit(port.slot_);
    }
    if (port.waiting_.empty()) {
      port.requestedFor_.clear();
      return false;
    }
    if (!ask) return true;
    port.requestedFor_ = destination;
    port.requestDeadline_ = std::chrono::steady_clock::time_point::max();
  }
  // The request itself is a server round trip: made without the port's send lock, so that
  // its own sends only queue meanwhile.
  int rc;
  {
    std::shared_lock use(clientMutex_);
    // A client's requests to the server share one socket: requests from two threads at
    // once (two ports connecting, or a port registering meanwhile) interleave their bytes
    // and the server loses the stream for good. Every request is made under portsMutex_.
    std::lock_guard requests(portsMutex_);
    rc =
        client_ && alive() ? jack_connect(client_, port.fullName.c_str(), destination.c_str()) : -1;
  }
  std::lock_guard lock(port.sendMutex_);
  if (rc != 0 && rc != EEXIST) {
    // Refused: what waited for this destination is lost, as a failed send is.
    while (!port.waiting_.empty() && port.waiting_.front().destination == destination)
      port.waiting_.pop_front();
    port.requestedFor_.clear();
    return !port.waiting_.empty();
  }
  if (port.requestedFor_ == destination)
    port.requestDeadline_ = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  return true;
}

void MIDIConnection::runConnector() {
  // What waited goes out in a burst once connected, and a destination's buffer holds only
  // so many events per cycle (a MIDI port buffer is the period's size in floats): many
  // instances linking at once would overflow it and lose some. So at most this many
  // waiting lists go out per process cycle.
  constexpr int kWaitingListsPerCycle = 16;
  pthread_setname_np(pthread_self(), "korvel-connect");
  uint64_t cycle = cycles_.load(std::memory_order_acquire);
  int budget = kWaitingListsPerCycle;
  std::vector<std::shared_ptr<MIDIPort>> ports;
  std::unique_lock lock(connectMutex_);
  for (;;) {
    // The server puts a new connection into the graph that the next cycle starts with; a
    // message written in the cycle under way would go nowhere. Until the graph shows it,
    // look again every millisecond.
    if (ports.empty())
      connectWake_.wait(lock, [&] { return connectorStopping_ || !connecting_.empty(); });
    else
      connectWake_.wait_for(lock, std::chrono::milliseconds(1), [&] { return connectorStopping_; });
    if (connectorStopping_) return;
    for (auto& port : connecting_)
      if (std::find(ports.begin(), ports.end(), port) == ports.end())
        ports.push_back(std::move(port));
    connecting_.clear();
    lock.unlock();
    if (const uint64_t now = cycles_.load(std::memory_order_acquire); now != cycle) {
      cycle = now;
      budget = kWaitingListsPerCycle;
    }
    std::erase_if(
        ports, [&](const std::shared_ptr<MIDIPort>& port) { return !serveWaiting(*port, budget); });
    lock.lock();
  }
}

bool MIDIConnection::setUniqueID(const MIDIPort& port, int32_t id) {
  std::shared_lock use(clientMutex_);
  if (!client_ || !alive()) return false;
  std::string text = std::to_string(id);
  bool ok;
  {
    std::lock_guard requests(portsMutex_);  // see send()
    ok = client_ &&
         jack_set_property(client_, port.uuid, kUniqueIDMetadataKey, text.c_str(), nullptr) == 0;
  }
  // Our own change must show in the next search even before JACK's callback arrives.
  generation_.fetch_add(1, std::memory_order_acq_rel);
  return ok;
}

std::vector<GraphDestination> MIDIConnection::readDestinations() {
  std::vector<GraphDestination> result;
  std::shared_lock use(clientMutex_);
  if (!client_ || !alive()) return result;
  const char** names = jack_get_ports(client_, nullptr, JACK_DEFAULT_MIDI_TYPE, JackPortIsInput);
  if (!names) return result;
  for (const char** name = names; *name; ++name) {
    jack_port_t* port = jack_port_by_name(client_, *name);
    if (!port) continue;
    GraphDestination destination;
    destination.uuid = jack_port_uuid(port);
    destination.name = *name;
    char* value = nullptr;
    char* type = nullptr;
    if (jack_get_property(destination.uuid, kUniqueIDMetadataKey, &value, &type) == 0) {
      destination.uniqueID = ParseUniqueID(value);
      jack_free(value);
      jack_free(type);
    }
    result.push_back(std::move(destination));
  }
  jack_free(names);
  return result;
}

}  // namespace korvel::platform::jack
