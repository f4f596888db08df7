#include "host/JackSession.h"

namespace korvel::host {

std::unique_ptr<JackSession> JackSession::TryOpen(const std::string& clientName, bool withInput) {
  jack_status_t status;
  jack_client_t* client = jack_client_open(clientName.c_str(), JackNoStartServer, &status);
  if (!client) return nullptr;
  std::unique_ptr<JackSession> session(new JackSession);
  session->client_ = client;
  session->out_ =
      jack_port_register(client, "MIDI Out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
  if (withInput)
    session->in_ =
        jack_port_register(client, "MIDI In", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
  if (!session->out_ || (withInput && !session->in_)) return nullptr;
  jack_set_process_callback(client, &JackSession::Process, session.get());
  jack_on_shutdown(client, &JackSession::ServerGone, session.get());
  return session;
}

JackSession::~JackSession() {
  // After the server has gone, libjack frees a dead client itself the next time any
  // client of the process opens (the plug-in's reconnect does): closing it here as well
  // would free it twice.
  if (serverGone_.load()) return;
  deactivate();
  if (client_) jack_client_close(client_);
}

void JackSession::ServerGone(void* self) {
  static_cast<JackSession*>(self)->serverGone_.store(true);
}

bool JackSession::activate(JackProcessor* processor) {
  processor_ = processor;
  active_ = jack_activate(client_) == 0;
  return active_;
}

void JackSession::deactivate() {
  if (active_ && !serverGone_.load()) jack_deactivate(client_);
  active_ = false;
}

jack_nframes_t JackSession::sampleRate() const { return jack_get_sample_rate(client_); }
jack_nframes_t JackSession::bufferSize() const { return jack_get_buffer_size(client_); }
std::string JackSession::clientName() const { return jack_get_client_name(client_); }

int JackSession::Process(jack_nframes_t frames, void* self) {
  auto* s = static_cast<JackSession*>(self);
  void* out = jack_port_get_buffer(s->out_, frames);
  jack_midi_clear_buffer(out);
  void* in = s->in_ ? jack_port_get_buffer(s->in_, frames) : nullptr;
  if (s->processor_) s->processor_->process(frames, in, out);
  return 0;
}

}  // namespace korvel::host
