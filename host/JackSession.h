// The host's own JACK client, "korvel-host", with a MIDI output port "MIDI Out" and,
// for live use, a MIDI input port "MIDI In". Only present when a JACK server runs.
#pragma once

#include <atomic>

#include <jack/jack.h>
#include <jack/midiport.h>

#include <memory>
#include <string>

namespace korvel::host {

// Work done on JACK's process thread once per cycle; must not allocate, lock or block.
class JackProcessor {
 public:
  virtual ~JackProcessor() = default;
  // `midiIn` is null when the session has no input port; both are port buffers of this
  // cycle, `midiOut` already cleared.
  virtual void process(jack_nframes_t frames, void* midiIn, void* midiOut) = 0;
};

class JackSession {
 public:
  // Null when no JACK server answers (the server is never started on demand).
  static std::unique_ptr<JackSession> TryOpen(const std::string& clientName, bool withInput);
  ~JackSession();
  JackSession(const JackSession&) = delete;
  JackSession& operator=(const JackSession&) = delete;

  // Starts calling `processor` (not owned; it must outlive the session or deactivate()).
  bool activate(JackProcessor* processor);
  void deactivate();
  jack_nframes_t sampleRate() const;
  jack_nframes_t bufferSize() const;
  std::string clientName() const;

 private:
  JackSession() = default;
  static int Process(jack_nframes_t frames, void* self);
  static void ServerGone(void* self);
  std::atomic<bool> serverGone_{false};

  jack_client_t* client_ = nullptr;
  jack_port_t* in_ = nullptr;
  jack_port_t* out_ = nullptr;
  JackProcessor* processor_ = nullptr;
  bool active_ = false;
};

}  // namespace korvel::host
