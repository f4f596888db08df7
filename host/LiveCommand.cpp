// korvel-host live: JACK "MIDI In" -> the first track's instance -> JACK "MIDI Out", all on
// JACK's process thread, until SIGINT or SIGTERM (with --editor: or until the editor
// windows are closed); then the same report as play.
#include <iostream>
#include <vector>

#include "host/Commands.h"
#include "host/EditorWindows.h"
#include "host/JackSession.h"
#include "host/MainLoop.h"
#include "host/MonitoredState.h"
#include "host/Session.h"
#include "host/SessionSetup.h"

namespace korvel::host {
namespace {

constexpr uint32_t kMaxRenderFrames = 4096;

// The armed track gets the input; the other tracks (from a multi-track project) are open
// and rendered like a host's idle tracks, but receive no MIDI.
class LiveProcessor : public JackProcessor {
 public:
  explicit LiveProcessor(Session& session) {
    for (auto& t : session.tracks()) tracks_.push_back(t.get());
  }

  void process(jack_nframes_t frames, void* midiIn, void* midiOut) override {
    Track& armed = *tracks_.front();
    uint32_t count = midiIn ? jack_midi_get_event_count(midiIn) : 0;
    for (uint32_t i = 0; i < count; ++i) {
      jack_midi_event_t ev;
      if (jack_midi_event_get(&ev, midiIn, i) != 0 || ev.size == 0) continue;
      uint8_t status = ev.buffer[0];
      // The instance takes one short message per call; SysEx is not part of its stream.
      if (status < 0x80 || status == 0xF0 || status == 0xF7) continue;
      uint8_t d1 = ev.size > 1 ? ev.buffer[1] : 0;
      uint8_t d2 = ev.size > 2 ? ev.buffer[2] : 0;
      armed.thru->setLiveTarget(midiOut, ev.time);
      armed.instance->midiEvent(status, d1, d2, ev.time);
    }
    armed.thru->setLiveTarget(nullptr, 0);

    AudioTimeStamp time{};
    time.mFlags = 1;
    time.mSampleTime = double(sampleTime_);
    for (uint32_t done = 0; done < frames;) {
      uint32_t n = std::min<uint32_t>(frames - done, kMaxRenderFrames);
      AudioBufferList buffers{};
      buffers.mNumberBuffers = 1;
      buffers.mBuffers[0].mNumberChannels = 1;
      buffers.mBuffers[0].mDataByteSize = n * sizeof(float);
      buffers.mBuffers[0].mData = scratch_;
      for (Track* t : tracks_) {
        AudioUnitRenderActionFlags flags = 0;
        t->instance->render(&flags, &time, n, &buffers);
      }
      done += n;
    }
    sampleTime_ += frames;
  }

 private:
  std::vector<Track*> tracks_;
  float scratch_[kMaxRenderFrames];
  uint64_t sampleTime_ = 0;
};

}  // namespace

int RunLive(const LiveOptions& options) {
  if (options.session.editor) ConnectEditorDisplay();
  PluginBundle bundle(options.session.bundlePath);
  MainLoop loop(bundle);
  if (options.session.editor) loop.useGLibContext();
  auto jack = JackSession::TryOpen("korvel-host", true);
  if (!jack) {
    std::cerr << "korvel-host live: no JACK server is running\n";
    return 1;
  }
  Session session(bundle, nullptr);
  LoadProjects(session, options.session);
  if (session.tracks().empty()) session.addTrack("Live");
  // Declared after the session: the views are released before the instances close.
  std::unique_ptr<EditorWindows> editors;
  if (options.session.editor) editors = std::make_unique<EditorWindows>(session, loop);
  WaitForLinks(session, loop, options.session.waitLinkedSeconds);

  auto processor = std::make_unique<LiveProcessor>(session);
  if (!jack->activate(processor.get())) {
    std::cerr << "korvel-host live: cannot activate the JACK client\n";
    return 1;
  }
  const std::string name = jack->clientName();
  std::cout << "live: " << name << ":MIDI In -> " << session.tracks().front()->name << " -> "
            << name << ":MIDI Out (Ctrl-C to stop)" << std::endl;
  if (editors) {
    // Until the windows are all closed (or the --editor-seconds limit), or Ctrl-C.
    editors->runUntilClosed(options.session.editorSeconds);
    editors.reset();
  } else {
    loop.runUntil(nullptr);
  }
  jack->deactivate();

  for (size_t i = 0; i < session.tracks().size(); ++i)
    PrintTrackReport(std::cout, i, *session.tracks()[i]);
  if (!options.session.saveProject.empty()) {
    session.save(options.session.saveProject);
    std::cout << "saved " << options.session.saveProject << "\n";
  }
  return 0;
}

}  // namespace korvel::host
