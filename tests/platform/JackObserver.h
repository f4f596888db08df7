// A plain JACK client, separate from the MIDI services under test, that looks at the
// graph the way another program would: lists ports, owns a MIDI input port without
// metadata, and can set metadata. (What arrives at a port is checked with MIDIDump, in a
// process of its own.)
#pragma once

#include <jack/jack.h>
#include <jack/metadata.h>
#include <jack/midiport.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace korvel::test {

class JackObserver {
 public:
  explicit JackObserver(const char* name = "observer") {
    jack_status_t status;
    client_ = jack_client_open(name, JackNoStartServer, &status);
    if (!client_) return;
    input_ = jack_port_register(client_, "in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    jack_on_shutdown(
        client_, [](void* lost) { static_cast<std::atomic<bool>*>(lost)->store(true); },
        &serverLost_);
    jack_activate(client_);
  }
  ~JackObserver() {
    // libjack frees the clients of a server that went away at the next open in the
    // process (the MIDI services' reconnection makes one): closing it could free it twice.
    if (client_ && !serverLost_.load()) jack_client_close(client_);
  }
  bool ok() const { return client_ && input_; }
  std::string inputName() const { return jack_port_name(input_); }
  jack_uuid_t inputUUID() const { return jack_port_uuid(input_); }

  std::vector<std::string> ports(const char* pattern, unsigned long flags = 0) const {
    std::vector<std::string> names;
    const char** found = jack_get_ports(client_, pattern, JACK_DEFAULT_MIDI_TYPE, flags);
    for (const char** n = found; n && *n; ++n) names.emplace_back(*n);
    if (found) jack_free(found);
    return names;
  }
  bool clientExists(const char* name) const {
    char* uuid = jack_get_uuid_for_client_name(client_, name);
    if (!uuid) return false;
    jack_free(uuid);
    return true;
  }

  // Registers an extra MIDI input port; returns it, or nullptr.
  jack_port_t* addInput(const char* name) {
    return jack_port_register(client_, name, JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
  }
  bool setUniqueID(jack_uuid_t port, const char* value) {
    return jack_set_property(client_, port, "urn:x-midi:unique-id", value, nullptr) == 0;
  }
  jack_client_t* client() const { return client_; }

 private:
  jack_client_t* client_ = nullptr;
  jack_port_t* input_ = nullptr;
  std::atomic<bool> serverLost_{false};
};

}  // namespace korvel::test
