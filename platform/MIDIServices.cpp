// The CoreMIDI-like calls on one JACK connection per process. Handles are small integers
// from one counter, never reused, looked up in tables under one mutex; the JACK work
// itself is in JackMidiConnection. Two threads of ours run while the connection is open:
// the notifier (setup-changed messages to every client's block) and the reader (messages
// received by our virtual destinations to their read blocks).
#include "platform/MIDIServices.h"

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "platform/JackMidiConnection.h"

const char* const kMIDIPropertyUniqueID = "uniqueID";

namespace {

using korvel::platform::jack::MidiConnection;
using korvel::platform::jack::MidiPort;

// A block is delivered under its owner's delivery lock, and disposal flips `alive` under
// the same lock: once dispose has returned no delivery is running or will start. The lock
// is recursive so that a block may dispose of its own owner.
struct Delivery {
  std::recursive_mutex mutex;
  bool alive = true;

  template <typename Fn>
  void run(Fn&& fn) {
    std::lock_guard lock(mutex);
    if (alive) fn();
  }
  void end() {
    std::lock_guard lock(mutex);
    alive = false;
  }
};

struct ClientRecord {
  MIDINotifyBlock notify;
  Delivery delivery;
};

struct OutputPortRecord {
  MIDIClientRef client;
  std::shared_ptr<MidiPort> port;
};

struct VirtualDestination {
  MIDIClientRef client;
  MIDIEndpointRef endpoint;
  std::shared_ptr<MidiPort> port;
  MIDIReadBlock read;
  Delivery delivery;
};

struct EndpointInfo {
  uint64_t uuid;
  std::string name;
  std::optional<int32_t> uniqueID;
};

// A background thread that sleeps until signalled or until `interval` passes, and stops
// on request. Stopping from the thread itself (a block disposing of the last client)
// detaches instead of joining; the loop state is shared so that it outlives its owner.
class Worker {
 public:
  using Body = std::function<void()>;
  Worker(std::chrono::milliseconds interval, Body body) : state_(std::make_shared<State>()) {
    state_->interval = interval;
    state_->body = std::move(body);
    thread_ = std::thread([state = state_] { Loop(*state); });
  }
  ~Worker() { stop(); }

  void signal() {
    std::lock_guard lock(state_->mutex);
    state_->signalled = true;
    state_->wake.notify_one();
  }
  void setPolling(bool polling) {
    std::lock_guard lock(state_->mutex);
    state_->polling = polling;
    state_->wake.notify_one();
  }
  void stop() {
    {
      std::lock_guard lock(state_->mutex);
      state_->stopping = true;
      state_->wake.notify_one();
    }
    if (!thread_.joinable()) return;
    if (thread_.get_id() == std::this_thread::get_id()) {
      thread_.detach();
    } else {
      thread_.join();
    }
  }

 private:
  struct State {
    std::mutex mutex;
    std::condition_variable wake;
    bool signalled = false;
    bool polling = false;
    bool stopping = false;
    std::chrono::milliseconds interval{0};
    Body body;
  };
  static void Loop(State& state) {
    std::unique_lock lock(state.mutex);
    for (;;) {
      auto ready = [&] { return state.stopping || state.signalled; };
      if (state.polling) {
        state.wake.wait_for(lock, state.interval, ready);
      } else {
        state.wake.wait(lock, [&] { return ready() || state.polling; });
      }
      if (state.stopping) return;
      state.signalled = false;
      lock.unlock();
      state.body();
      lock.lock();
    }
  }

  std::shared_ptr<State> state_;
  std::thread thread_;
};

class MidiService {
 public:
  static MidiService& shared() {
    // Never destroyed: clients may be disposed from static destructors of other code.
    static MidiService* service = new MidiService();
    return *service;
  }

  OSStatus createClient(const char* name, MIDIClientRef* outClient, MIDINotifyBlock notify) {
    std::lock_guard lifecycle(lifecycleMutex_);
    std::shared_ptr<MidiConnection> connection;
    {
      std::lock_guard lock(mutex_);
      connection = connection_;
    }
    if (!connection) {
      // The workers exist before the connection so that JACK's first callbacks find them.
      auto notifier = std::make_shared<Worker>(std::chrono::milliseconds(0), [this] { deliverSetupChanged(); });
      // The process callback cannot wake anybody (that would be a system call on the
      // real-time thread), so the reader polls while a virtual destination exists.
      auto reader = std::make_shared<Worker>(std::chrono::milliseconds(1), MakeReader(*this));
      connection = MidiConnection::open(name && *name ? name : "MIDI", [notifier] { notifier->signal(); });
      if (!connection) {
        *outClient = 0;
        return kMIDIServerStartErr;
      }
      std::lock_guard lock(mutex_);
      notifier_ = std::move(notifier);
      reader_ = std::move(reader);
    }
    auto record = std::make_shared<ClientRecord>();
    record->notify = std::move(notify);
    std::lock_guard lock(mutex_);
    connection_ = connection;
    MIDIClientRef ref = nextRef_++;
    clients_[ref] = std::move(record);
    *outClient = ref;
    return 0;
  }

  OSStatus disposeClient(MIDIClientRef ref) {
    std::lock_guard lifecycle(lifecycleMutex_);
    std::shared_ptr<ClientRecord> record;
    std::vector<std::shared_ptr<MidiPort>> ports;
    std::vector<std::shared_ptr<VirtualDestination>> destinations;
    std::shared_ptr<MidiConnection> connection;
    bool last = false;
    {
      std::lock_guard lock(mutex_);
      auto found = clients_.find(ref);
      if (found == clients_.end()) return kMIDIInvalidClient;
      record = found->second;
      clients_.erase(found);
      for (auto it = outputs_.begin(); it != outputs_.end();) {
        if (it->second.client == ref) {
          ports.push_back(it->second.port);
          it = outputs_.erase(it);
        } else {
          ++it;
        }
      }
      for (auto it = virtuals_.begin(); it != virtuals_.end();) {
        if (it->second->client == ref) {
          destinations.push_back(it->second);
          it = virtuals_.erase(it);
        } else {
          ++it;
        }
      }
      connection = connection_;
      last = clients_.empty();
      if (last) connection_.reset();
      updateReaderPolling();
    }
    record->delivery.end();
    for (auto& destination : destinations) destination->delivery.end();
    if (connection) {
      for (auto& port : ports) connection->removePort(port);
      for (auto& destination : destinations) connection->removePort(destination->port);
    }
    if (last) {
      std::shared_ptr<Worker> notifier, reader;
      {
        std::lock_guard lock(mutex_);
        notifier = std::move(notifier_);
        reader = std::move(reader_);
      }
      if (notifier) notifier->stop();
      if (reader) reader->stop();
      if (connection) connection->close();
      std::lock_guard lock(mutex_);
      endpoints_.clear();
      endpointRefs_.clear();
      destinationOrder_.clear();
      cachedGeneration_ = 0;
    }
    return 0;
  }

  OSStatus createOutputPort(MIDIClientRef client, const char* name, MIDIPortRef* outPort) {
    *outPort = 0;
    std::shared_ptr<MidiConnection> connection = connectionFor(client);
    if (!connection) return kMIDIInvalidClient;
    auto port = connection->addPort(name && *name ? name : "out", MidiPort::Direction::Output);
    if (!port) return kMIDIInvalidPort;
    std::lock_guard lock(mutex_);
    if (!clients_.count(client)) {
      connection->removePort(port);
      return kMIDIInvalidClient;
    }
    MIDIPortRef ref = nextRef_++;
    outputs_[ref] = OutputPortRecord{client, std::move(port)};
    *outPort = ref;
    return 0;
  }

  OSStatus disposePort(MIDIPortRef ref) {
    std::shared_ptr<MidiPort> port;
    std::shared_ptr<MidiConnection> connection;
    {
      std::lock_guard lock(mutex_);
      auto found = outputs_.find(ref);
      if (found == outputs_.end()) return kMIDIInvalidPort;
      port = found->second.port;
      outputs_.erase(found);
      connection = connection_;
    }
    if (connection) connection->removePort(port);
    return 0;
  }

  OSStatus createDestination(MIDIClientRef client, const char* name, MIDIEndpointRef* outDest,
                             MIDIReadBlock read) {
    *outDest = 0;
    std::shared_ptr<MidiConnection> connection = connectionFor(client);
    if (!connection) return kMIDIInvalidClient;
    auto port = connection->addPort(name && *name ? name : "in", MidiPort::Direction::Input);
    if (!port) return kMIDIInvalidPort;
    std::lock_guard lock(mutex_);
    if (!clients_.count(client)) {
      connection->removePort(port);
      return kMIDIInvalidClient;
    }
    auto destination = std::make_shared<VirtualDestination>();
    destination->client = client;
    destination->port = port;
    destination->read = std::move(read);
    destination->endpoint = endpointRefFor(port->uuid, port->fullName);
    endpoints_[destination->endpoint] = EndpointInfo{port->uuid, port->fullName, std::nullopt};
    virtuals_[destination->endpoint] = destination;
    virtualsChanged_ = true;
    updateReaderPolling();
    *outDest = destination->endpoint;
    return 0;
  }

  OSStatus disposeEndpoint(MIDIEndpointRef ref) {
    std::shared_ptr<VirtualDestination> destination;
    std::shared_ptr<MidiConnection> connection;
    {
      std::lock_guard lock(mutex_);
      auto found = virtuals_.find(ref);
      if (found == virtuals_.end()) return kMIDIObjectNotFound;
      destination = found->second;
      virtuals_.erase(found);
      virtualsChanged_ = true;
      updateReaderPolling();
      connection = connection_;
    }
    destination->delivery.end();
    if (connection) connection->removePort(destination->port);
    return 0;
  }

  unsigned long numberOfDestinations() {
    std::lock_guard lock(mutex_);
    refreshDestinations();
    return destinationOrder_.size();
  }

  MIDIEndpointRef destination(unsigned long index) {
    std::lock_guard lock(mutex_);
    refreshDestinations();
    return index < destinationOrder_.size() ? destinationOrder_[index] : 0;
  }

  OSStatus getUniqueID(MIDIObjectRef ref, int32_t* outValue) {
    std::lock_guard lock(mutex_);
    refreshDestinations();
    auto found = endpoints_.find(ref);
    if (found == endpoints_.end()) return kMIDIObjectNotFound;
    if (!found->second.uniqueID) {
      *outValue = 0;
      return kMIDIUnknownProperty;
    }
    *outValue = *found->second.uniqueID;
    return 0;
  }

  OSStatus setUniqueID(MIDIObjectRef ref, int32_t value) {
    std::shared_ptr<MidiPort> port;
    std::shared_ptr<MidiConnection> connection;
    {
      std::lock_guard lock(mutex_);
      auto found = virtuals_.find(ref);
      if (found == virtuals_.end()) return kMIDIObjectNotFound;
      port = found->second->port;
      connection = connection_;
    }
    if (!connection || !connection->setUniqueID(*port, value)) return kMIDIUnknownProperty;
    return 0;
  }

  OSStatus send(MIDIPortRef portRef, MIDIEndpointRef dest, const MIDIPacketList* list) {
    std::shared_ptr<MidiPort> port;
    std::shared_ptr<MidiConnection> connection;
    std::string destinationName;
    {
      std::lock_guard lock(mutex_);
      auto found = outputs_.find(portRef);
      if (found == outputs_.end()) return kMIDIInvalidPort;
      port = found->second.port;
      connection = connection_;
      refreshDestinations();
      auto endpoint = endpoints_.find(dest);
      if (endpoint == endpoints_.end()) return kMIDIObjectNotFound;
      destinationName = endpoint->second.name;
    }
    if (!connection || !list) return kMIDIInvalidPort;
    connection->send(*port, destinationName, list);
    return 0;
  }

 private:
  MidiService() = default;

  std::shared_ptr<MidiConnection> connectionFor(MIDIClientRef client) {
    std::lock_guard lock(mutex_);
    if (!clients_.count(client) || !connection_ || !connection_->alive()) return nullptr;
    return connection_;
  }

  void updateReaderPolling() {
    if (reader_) reader_->setPolling(!virtuals_.empty());
  }

  void deliverSetupChanged() {
    std::vector<std::shared_ptr<ClientRecord>> clients;
    {
      std::lock_guard lock(mutex_);
      clients.reserve(clients_.size());
      for (auto& [ref, record] : clients_) clients.push_back(record);
    }
    MIDINotification message{kMIDIMsgSetupChanged, sizeof(MIDINotification)};
    for (auto& client : clients) {
      client->delivery.run([&] {
        if (client->notify) client->notify(&message);
      });
    }
  }

  // The reader's body, with the state only the reader thread touches.
  static Worker::Body MakeReader(MidiService& service) {
    struct ReaderState {
      std::vector<std::shared_ptr<VirtualDestination>> destinations;
      alignas(8) std::array<uint8_t, sizeof(MIDIPacketList) + UINT16_MAX> buffer{};
    };
    auto state = std::make_shared<ReaderState>();
    return [&service, state] { service.deliverReceived(state->destinations, state->buffer.data()); };
  }

  void deliverReceived(std::vector<std::shared_ptr<VirtualDestination>>& destinations, uint8_t* buffer) {
    {
      std::lock_guard lock(mutex_);
      if (virtualsChanged_ || destinations.empty()) {
        destinations.clear();
        for (auto& [ref, destination] : virtuals_) destinations.push_back(destination);
        virtualsChanged_ = false;
      }
    }
    MIDIPacketList* list = reinterpret_cast<MIDIPacketList*>(buffer);
    for (auto& destination : destinations) {
      auto& ring = destination->port->ring;
      while (uint16_t length = ring.frontLength()) {
        list->numPackets = 1;
        MIDIPacket* packet = list->packet;
        packet->timeStamp = 0;
        packet->length = length;
        ring.popFront(packet->data);
        destination->delivery.run([&] {
          if (destination->read) destination->read(list);
        });
      }
    }
  }

  MIDIEndpointRef endpointRefFor(uint64_t uuid, const std::string& name) {
    auto key = std::make_pair(uuid, name);
    auto found = endpointRefs_.find(key);
    if (found != endpointRefs_.end()) return found->second;
    MIDIEndpointRef ref = nextRef_++;
    endpointRefs_[key] = ref;
    return ref;
  }

  // Re-reads the graph's destinations only after JACK reported a change, so that the
  // searches of many instances cost a table lookup, not a server round trip. A port keeps
  // its handle while it exists under the same name.
  void refreshDestinations() {
    if (!connection_) return;
    uint64_t generation = connection_->graphGeneration();
    if (generation == cachedGeneration_) return;
    std::vector<korvel::platform::jack::GraphDestination> graph = connection_->readDestinations();
    std::map<std::pair<uint64_t, std::string>, MIDIEndpointRef> refs;
    std::map<MIDIEndpointRef, EndpointInfo> endpoints;
    destinationOrder_.clear();
    for (auto& destination : graph) {
      MIDIEndpointRef ref = endpointRefFor(destination.uuid, destination.name);
      refs[{destination.uuid, destination.name}] = ref;
      endpoints[ref] = EndpointInfo{destination.uuid, destination.name, destination.uniqueID};
      destinationOrder_.push_back(ref);
    }
    // Our own destinations stay reachable even before the graph lists them.
    for (auto& [ref, destination] : virtuals_) {
      if (endpoints.count(ref)) continue;
      refs[{destination->port->uuid, destination->port->fullName}] = ref;
      endpoints[ref] = EndpointInfo{destination->port->uuid, destination->port->fullName, std::nullopt};
    }
    endpointRefs_ = std::move(refs);
    endpoints_ = std::move(endpoints);
    cachedGeneration_ = generation;
  }

  std::mutex lifecycleMutex_;  // creation and disposal of clients, so one connection at a time
  std::mutex mutex_;           // everything below
  std::shared_ptr<MidiConnection> connection_;
  uint32_t nextRef_ = 1;
  std::map<MIDIClientRef, std::shared_ptr<ClientRecord>> clients_;
  std::map<MIDIPortRef, OutputPortRecord> outputs_;
  std::map<MIDIEndpointRef, std::shared_ptr<VirtualDestination>> virtuals_;
  bool virtualsChanged_ = false;

  std::map<std::pair<uint64_t, std::string>, MIDIEndpointRef> endpointRefs_;
  std::map<MIDIEndpointRef, EndpointInfo> endpoints_;
  std::vector<MIDIEndpointRef> destinationOrder_;
  uint64_t cachedGeneration_ = 0;

  std::shared_ptr<Worker> notifier_;
  std::shared_ptr<Worker> reader_;
};

}  // namespace

OSStatus MIDIClientCreateWithBlock(const char* name, MIDIClientRef* outClient, MIDINotifyBlock notify) {
  if (!outClient) return kMIDIInvalidClient;
  return MidiService::shared().createClient(name, outClient, std::move(notify));
}

OSStatus MIDIClientDispose(MIDIClientRef client) { return MidiService::shared().disposeClient(client); }

OSStatus MIDIOutputPortCreate(MIDIClientRef client, const char* name, MIDIPortRef* outPort) {
  if (!outPort) return kMIDIInvalidPort;
  return MidiService::shared().createOutputPort(client, name, outPort);
}

OSStatus MIDIPortDispose(MIDIPortRef port) { return MidiService::shared().disposePort(port); }

OSStatus MIDIDestinationCreateWithBlock(MIDIClientRef client, const char* name, MIDIEndpointRef* outDest,
                                        MIDIReadBlock read) {
  if (!outDest) return kMIDIObjectNotFound;
  return MidiService::shared().createDestination(client, name, outDest, std::move(read));
}

OSStatus MIDIEndpointDispose(MIDIEndpointRef endpoint) { return MidiService::shared().disposeEndpoint(endpoint); }

unsigned long MIDIGetNumberOfDestinations(void) { return MidiService::shared().numberOfDestinations(); }

MIDIEndpointRef MIDIGetDestination(unsigned long index) { return MidiService::shared().destination(index); }

OSStatus MIDIObjectGetIntegerProperty(MIDIObjectRef obj, const char* propertyID, int32_t* outValue) {
  if (!propertyID || !outValue || std::strcmp(propertyID, kMIDIPropertyUniqueID) != 0) return kMIDIUnknownProperty;
  return MidiService::shared().getUniqueID(obj, outValue);
}

OSStatus MIDIObjectSetIntegerProperty(MIDIObjectRef obj, const char* propertyID, int32_t value) {
  if (!propertyID || std::strcmp(propertyID, kMIDIPropertyUniqueID) != 0) return kMIDIUnknownProperty;
  return MidiService::shared().setUniqueID(obj, value);
}

OSStatus MIDISend(MIDIPortRef port, MIDIEndpointRef dest, const MIDIPacketList* pktlist) {
  return MidiService::shared().send(port, dest, pktlist);
}
