// The CoreMIDI-like calls on one JACK connection per process. Handles are small integers
// from one counter, never reused, looked up in tables under one mutex; the JACK work
// itself is in JackMIDIConnection. Two threads of ours run while the connection is open:
// the notifier (setup-changed messages to every client's block) and the reader (messages
// received by our virtual destinations to their read blocks).
//
// When the server goes away the connection dies and every call becomes a no-op. The
// notifier then tries, about once a second, to open the client again under the same
// name; when a server answers, every output port and virtual destination that still
// exists is registered again behind its old handle (its JACK name may differ), the
// destinations get their unique IDs back, and every client is sent a setup-changed
// message so that it searches its destinations again. Attempts never run on the
// callers' threads: without a server each one fails at once (JackNoStartServer), and
// a successful one registers one port per instance.
//
// A client created while no server runs is made all the same, and so are its output
// ports: they have handles but no JACK port yet. The notifier then looks for a server
// the same way, and when one answers, every such port is registered behind its handle.
#include "platform/MIDIServices.h"

#include <pthread.h>

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

#include "platform/JackMIDIConnection.h"

const char* const kMIDIPropertyUniqueID = "uniqueID";

namespace {

using korvel::platform::jack::MIDIConnection;
using korvel::platform::jack::MIDIPort;

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
  std::shared_ptr<MIDIPort> port;  // null until a server has answered
  std::string name;
};

// What a virtual destination keeps across a reconnection, when its port is replaced.
struct DestinationBinding {
  MIDIReadBlock read;
  Delivery delivery;
  std::optional<int32_t> uniqueID;  // guarded by the service's mutex
};

// Immutable once published: a reconnection replaces the whole record, so that the reader
// thread, which works on a snapshot, never sees a port change under it.
struct VirtualDestination {
  MIDIClientRef client;
  MIDIEndpointRef endpoint;
  std::shared_ptr<MIDIPort> port;
  std::shared_ptr<DestinationBinding> binding;
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

class MIDIService {
 public:
  static MIDIService& shared() {
    // Never destroyed: clients may be disposed from static destructors of other code.
    static MIDIService* service = new MIDIService();
    return *service;
  }

  OSStatus createClient(const char* name, MIDIClientRef* outClient, MIDINotifyBlock notify) {
    std::lock_guard lifecycle(lifecycleMutex_);
    std::shared_ptr<MIDIConnection> connection;
    {
      std::lock_guard lock(mutex_);
      connection = connection_;
    }
    if (!connection && !notifier_) {
      // The workers exist before the connection so that JACK's first callbacks find them.
      // The notifier sleeps until signalled, and polls only while the server is lost.
      auto notifier = std::make_shared<Worker>(kReconnectInterval, [this] { runNotifier(); });
      // The process callback cannot wake anybody (that would be a system call on the
      // real-time thread), so the reader polls while a virtual destination exists.
      auto reader = std::make_shared<Worker>(std::chrono::milliseconds(1), MakeReader(*this));
      std::string clientName = name && *name ? name : "MIDI";
      graphChanged_.store(false, std::memory_order_release);  // news of an earlier connection
      connection = MIDIConnection::open(clientName, graphCallback(notifier));
      std::lock_guard lock(mutex_);
      retired_.clear();  // libjack has freed their clients in this open
      // No server: the client is made all the same, and the notifier looks for one.
      lossSeen_ = !connection;
      nextReconnectAttempt_ = std::chrono::steady_clock::now();
      clientName_ = std::move(clientName);
      notifier_ = std::move(notifier);
      reader_ = std::move(reader);
      if (!connection) notifier_->setPolling(true);
    }
    auto record = std::make_shared<ClientRecord>();
    record->notify = std::move(notify);
    std::lock_guard lock(mutex_);
    if (connection && connection_ != connection) {
      connection_ = connection;
      ++connectionEpoch_;
    }
    MIDIClientRef ref = nextRef_++;
    clients_[ref] = std::move(record);
    *outClient = ref;
    return 0;
  }

  OSStatus disposeClient(MIDIClientRef ref) {
    std::lock_guard lifecycle(lifecycleMutex_);
    std::shared_ptr<ClientRecord> record;
    std::vector<std::shared_ptr<MIDIPort>> ports;
    std::vector<std::shared_ptr<VirtualDestination>> destinations;
    std::shared_ptr<MIDIConnection> connection;
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
      if (last) {
        connection_.reset();
        ++connectionEpoch_;
        if (connection && !connection->alive()) retired_.push_back(connection);
      }
      updateReaderPolling();
    }
    record->delivery.end();
    for (auto& destination : destinations) destination->binding->delivery.end();
    if (connection) {
      for (auto& port : ports)
        if (port) connection->removePort(port);
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
    std::string portName = name && *name ? name : "out";
    std::shared_ptr<MIDIConnection> connection = connectionFor(client);
    // Also when the registration fails (a server that is going away may not have said so
    // yet), the handle is made now and the JACK port at the next connection.
    std::shared_ptr<MIDIPort> port =
        connection ? connection->addPort(portName, MIDIPort::Direction::Output) : nullptr;
    std::lock_guard lock(mutex_);
    if (!clients_.count(client)) {
      if (port) connection->removePort(port);
      return kMIDIInvalidClient;
    }
    MIDIPortRef ref = nextRef_++;
    outputs_[ref] = OutputPortRecord{client, std::move(port), std::move(portName)};
    *outPort = ref;
    return 0;
  }

  OSStatus disposePort(MIDIPortRef ref) {
    std::shared_ptr<MIDIPort> port;
    std::shared_ptr<MIDIConnection> connection;
    {
      std::lock_guard lock(mutex_);
      auto found = outputs_.find(ref);
      if (found == outputs_.end()) return kMIDIInvalidPort;
      port = found->second.port;
      outputs_.erase(found);
      connection = connection_;
    }
    if (connection && port) connection->removePort(port);
    return 0;
  }

  OSStatus createDestination(MIDIClientRef client, const char* name, MIDIEndpointRef* outDest,
                             MIDIReadBlock read) {
    *outDest = 0;
    std::shared_ptr<MIDIConnection> connection = connectionFor(client);
    if (!connection) return kMIDIInvalidClient;
    auto port = connection->addPort(name && *name ? name : "in", MIDIPort::Direction::Input);
    if (!port) return kMIDIInvalidPort;
    std::lock_guard lock(mutex_);
    if (!clients_.count(client)) {
      connection->removePort(port);
      return kMIDIInvalidClient;
    }
    auto destination = std::make_shared<VirtualDestination>();
    destination->client = client;
    destination->port = port;
    destination->binding = std::make_shared<DestinationBinding>();
    destination->binding->read = std::move(read);
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
    std::shared_ptr<MIDIConnection> connection;
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
    destination->binding->delivery.end();
    if (connection) connection->removePort(destination->port);
    return 0;
  }

  uint64_t destinationsGeneration() {
    std::lock_guard lock(mutex_);
    return (connectionEpoch_ << 40) + (connection_ ? connection_->graphGeneration() : 0);
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
    std::shared_ptr<MIDIPort> port;
    std::shared_ptr<MIDIConnection> connection;
    {
      std::lock_guard lock(mutex_);
      auto found = virtuals_.find(ref);
      if (found == virtuals_.end()) return kMIDIObjectNotFound;
      port = found->second->port;
      connection = connection_;
      // Kept so that a reconnection can publish it again.
      found->second->binding->uniqueID = value;
    }
    if (!connection || !connection->setUniqueID(*port, value)) return kMIDIUnknownProperty;
    return 0;
  }

  OSStatus send(MIDIPortRef portRef, MIDIEndpointRef dest, const MIDIPacketList* list) {
    std::shared_ptr<MIDIPort> port;
    std::shared_ptr<MIDIConnection> connection;
    std::string destinationName;
    {
      std::lock_guard lock(mutex_);
      auto found = outputs_.find(portRef);
      if (found == outputs_.end()) return kMIDIInvalidPort;
      port = found->second.port;
      if (!port) return kMIDIInvalidPort;  // no server has answered yet
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
  MIDIService() {
    // A process that forks (a host starting a helper, a test isolating one call) must not
    // hand its child these locks held by a thread the child does not have: the notifier
    // holds them through a reconnect attempt, and the child's first client would wait on
    // them for ever. Fork waits until they are free.
    pthread_atfork([] { shared().lockForFork(); }, [] { shared().unlockAfterFork(); },
                   [] { shared().unlockAfterFork(); });
  }
  void lockForFork() {
    lifecycleMutex_.lock();
    mutex_.lock();
  }
  void unlockAfterFork() {
    mutex_.unlock();
    lifecycleMutex_.unlock();
  }

  std::shared_ptr<MIDIConnection> connectionFor(MIDIClientRef client) {
    std::lock_guard lock(mutex_);
    if (!clients_.count(client) || !connection_ || !connection_->alive()) return nullptr;
    return connection_;
  }

  void updateReaderPolling() {
    if (reader_) reader_->setPolling(!virtuals_.empty());
  }

  static constexpr std::chrono::milliseconds kReconnectInterval{1000};

  std::function<void()> graphCallback(const std::shared_ptr<Worker>& notifier) {
    return [this, notifier] {
      graphChanged_.store(true, std::memory_order_release);
      notifier->signal();
    };
  }

  // The notifier's body: pass on a graph change, and while the server is lost, try to
  // find it again.
  void runNotifier() {
    letGoOfLostConnection();
    if (graphChanged_.exchange(false, std::memory_order_acq_rel)) deliverSetupChanged();
    if (reconnect()) deliverSetupChanged();
  }

  // Before anybody hears of the loss: once no call of ours is inside libjack with the
  // dead client, any open in the process (ours, the host's) may free it safely.
  void letGoOfLostConnection() {
    std::shared_ptr<MIDIConnection> lost;
    std::shared_ptr<Worker> notifier;
    {
      std::lock_guard lock(mutex_);
      if (!connection_ || connection_->alive()) return;
      lost = connection_;
      notifier = notifier_;
      if (!lossSeen_) {
        lossSeen_ = true;
        // The first attempt waits a while: it frees every dead client of the process
        // inside libjack, and other clients (the host's) should have heard of the
        // shutdown before their handles go.
        nextReconnectAttempt_ = std::chrono::steady_clock::now() + kReconnectInterval;
      }
    }
    if (notifier) notifier->setPolling(true);
    lost->close();
  }

  // True when the connection has been opened again. Runs on the notifier thread only.
  bool reconnect() {
    std::shared_ptr<MIDIConnection> lost;
    std::shared_ptr<Worker> notifier;
    {
      std::lock_guard lock(mutex_);
      if (connection_ && connection_->alive()) return false;
      lost = connection_;  // null when no server has answered yet
      notifier = notifier_;
    }
    if (!notifier) return false;
    // Creation and disposal of clients take this lock while they stop the notifier: an
    // attempt that cannot have it now waits for the next poll instead.
    std::unique_lock lifecycle(lifecycleMutex_, std::try_to_lock);
    if (!lifecycle.owns_lock()) return false;
    {
      std::lock_guard lock(mutex_);
      if (connection_ != lost || clients_.empty()) return false;
    }
    if (lost) lost->close();  // already let go of; in case the loss came after that check
    {
      std::lock_guard lock(mutex_);
      const auto now = std::chrono::steady_clock::now();
      if (!lossSeen_ || now < nextReconnectAttempt_) return false;
      nextReconnectAttempt_ = now + kReconnectInterval / 2;
    }

    std::shared_ptr<MIDIConnection> fresh =
        MIDIConnection::open(clientName_, graphCallback(notifier));
    if (!fresh) return false;

    struct Rebound {
      uint32_t ref;
      std::shared_ptr<MIDIPort> before;
      std::shared_ptr<MIDIPort> after;
      std::string name;
    };
    std::vector<Rebound> outputs, destinations;
    std::vector<std::optional<int32_t>> uniqueIDs;
    {
      std::lock_guard lock(mutex_);
      for (auto& [ref, record] : outputs_)
        outputs.push_back({ref, record.port, nullptr, record.name});
      for (auto& [ref, destination] : virtuals_) {
        destinations.push_back({ref, destination->port, nullptr, {}});
        uniqueIDs.push_back(destination->binding->uniqueID);
      }
    }
    // Registered outside the service's lock: a search on another thread is not held up
    // by one server round trip per port.
    for (auto& output : outputs)
      output.after = fresh->addPort(output.before ? output.before->shortName : output.name,
                                    MIDIPort::Direction::Output);
    for (size_t i = 0; i < destinations.size(); ++i) {
      auto& destination = destinations[i];
      destination.after = fresh->addPort(destination.before->shortName, MIDIPort::Direction::Input);
      if (destination.after && uniqueIDs[i]) fresh->setUniqueID(*destination.after, *uniqueIDs[i]);
    }

    std::vector<std::shared_ptr<MIDIPort>> orphans;  // disposed of while being registered
    {
      std::lock_guard lock(mutex_);
      connection_ = fresh;
      ++connectionEpoch_;
      lossSeen_ = false;
      retired_.clear();  // libjack freed the lost client in the open above
      for (auto& output : outputs) {
        auto found = outputs_.find(output.ref);
        if (found != outputs_.end() && found->second.port == output.before && output.after) {
          found->second.port = output.after;
        } else if (output.after) {
          orphans.push_back(output.after);
        }
      }
      for (auto& destination : destinations) {
        auto found = virtuals_.find(destination.ref);
        if (found == virtuals_.end() || found->second->port != destination.before ||
            !destination.after) {
          if (destination.after) orphans.push_back(destination.after);
          continue;
        }
        auto replacement = std::make_shared<VirtualDestination>(*found->second);
        replacement->port = destination.after;
        found->second = replacement;
        endpointRefs_[{destination.after->uuid, destination.after->fullName}] = destination.ref;
      }
      virtualsChanged_ = true;
      cachedGeneration_ = 0;
    }
    for (auto& port : orphans) fresh->removePort(port);
    // Ports made without a server while the ones above were being registered.
    std::vector<Rebound> late;
    {
      std::lock_guard lock(mutex_);
      for (auto& [ref, record] : outputs_)
        if (!record.port) late.push_back({ref, nullptr, nullptr, record.name});
    }
    for (auto& output : late)
      output.after = fresh->addPort(output.name, MIDIPort::Direction::Output);
    {
      std::lock_guard lock(mutex_);
      for (auto& output : late) {
        auto found = outputs_.find(output.ref);
        if (found != outputs_.end() && !found->second.port && connection_ == fresh) {
          found->second.port = std::exchange(output.after, nullptr);
        }
      }
    }
    for (auto& output : late)
      if (output.after) fresh->removePort(output.after);
    notifier->setPolling(false);
    return true;
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
  static Worker::Body MakeReader(MIDIService& service) {
    struct ReaderState {
      std::vector<std::shared_ptr<VirtualDestination>> destinations;
      alignas(8) std::array<uint8_t, sizeof(MIDIPacketList) + UINT16_MAX> buffer{};
    };
    auto state = std::make_shared<ReaderState>();
    return
        [&service, state] { service.deliverReceived(state->destinations, state->buffer.data()); };
  }

  void deliverReceived(std::vector<std::shared_ptr<VirtualDestination>>& destinations,
                       uint8_t* buffer) {
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
        destination->binding->delivery.run([&] {
          if (destination->binding->read) destination->binding->read(list);
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
      endpoints[ref] =
          EndpointInfo{destination->port->uuid, destination->port->fullName, std::nullopt};
    }
    endpointRefs_ = std::move(refs);
    endpoints_ = std::move(endpoints);
    cachedGeneration_ = generation;
  }

  std::mutex lifecycleMutex_;  // creation and disposal of clients, so one connection at a time
  std::mutex mutex_;           // everything below
  std::shared_ptr<MIDIConnection> connection_;
  uint32_t nextRef_ = 1;
  std::map<MIDIClientRef, std::shared_ptr<ClientRecord>> clients_;
  std::map<MIDIPortRef, OutputPortRecord> outputs_;
  std::map<MIDIEndpointRef, std::shared_ptr<VirtualDestination>> virtuals_;
  bool virtualsChanged_ = false;

  std::map<std::pair<uint64_t, std::string>, MIDIEndpointRef> endpointRefs_;
  std::map<MIDIEndpointRef, EndpointInfo> endpoints_;
  std::vector<MIDIEndpointRef> destinationOrder_;
  uint64_t cachedGeneration_ = 0;
  uint64_t connectionEpoch_ = 0;  // bumped whenever connection_ changes

  std::shared_ptr<Worker> notifier_;
  std::shared_ptr<Worker> reader_;

  // Reconnection. clientName_ is written under both locks and read by the notifier under
  // lifecycleMutex_.
  std::string clientName_;
  std::atomic<bool> graphChanged_{false};
  std::chrono::steady_clock::time_point nextReconnectAttempt_{};  // guarded by mutex_
  bool lossSeen_ = false;                                         // guarded by mutex_
  // Connections whose server went away, kept until libjack has freed their clients (at
  // the next successful open), since those may still hold pointers to them.
  std::vector<std::shared_ptr<MIDIConnection>> retired_;
};

}  // namespace

OSStatus MIDIClientCreateWithBlock(const char* name, MIDIClientRef* outClient,
                                   MIDINotifyBlock notify) {
  if (!outClient) return kMIDIInvalidClient;
  return MIDIService::shared().createClient(name, outClient, std::move(notify));
}

OSStatus MIDIClientDispose(MIDIClientRef client) {
  return MIDIService::shared().disposeClient(client);
}

OSStatus MIDIOutputPortCreate(MIDIClientRef client, const char* name, MIDIPortRef* outPort) {
  if (!outPort) return kMIDIInvalidPort;
  return MIDIService::shared().createOutputPort(client, name, outPort);
}

OSStatus MIDIPortDispose(MIDIPortRef port) { return MIDIService::shared().disposePort(port); }

OSStatus MIDIDestinationCreateWithBlock(MIDIClientRef client, const char* name,
                                        MIDIEndpointRef* outDest, MIDIReadBlock read) {
  if (!outDest) return kMIDIObjectNotFound;
  return MIDIService::shared().createDestination(client, name, outDest, std::move(read));
}

OSStatus MIDIEndpointDispose(MIDIEndpointRef endpoint) {
  return MIDIService::shared().disposeEndpoint(endpoint);
}

unsigned long MIDIGetNumberOfDestinations(void) {
  return MIDIService::shared().numberOfDestinations();
}

uint64_t MIDIGetDestinationsGeneration(void) {
  return MIDIService::shared().destinationsGeneration();
}

MIDIEndpointRef MIDIGetDestination(unsigned long index) {
  return MIDIService::shared().destination(index);
}

OSStatus MIDIObjectGetIntegerProperty(MIDIObjectRef obj, const char* propertyID,
                                      int32_t* outValue) {
  if (!propertyID || !outValue || std::strcmp(propertyID, kMIDIPropertyUniqueID) != 0)
    return kMIDIUnknownProperty;
  return MIDIService::shared().getUniqueID(obj, outValue);
}

OSStatus MIDIObjectSetIntegerProperty(MIDIObjectRef obj, const char* propertyID, int32_t value) {
  if (!propertyID || std::strcmp(propertyID, kMIDIPropertyUniqueID) != 0)
    return kMIDIUnknownProperty;
  return MIDIService::shared().setUniqueID(obj, value);
}

OSStatus MIDISend(MIDIPortRef port, MIDIEndpointRef dest, const MIDIPacketList* pktlist) {
  return MIDIService::shared().send(port, dest, pktlist);
}
