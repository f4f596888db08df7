// korvel-host play: a Standard MIDI File through one instance per track, delivered and
// rendered block by block on the host's real-time thread, then a report of what each
// instance saw. With --editor the tracks' editors are open in windows meanwhile; the
// snapshot command is a play (of a file or of nothing) that ends in PNGs of the editors.
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <vector>

#include "host/CommandChannel.h"
#include "host/Commands.h"
#include "host/EditorWindows.h"
#include "host/JackSession.h"
#include "host/MainLoop.h"
#include "host/MonitoredState.h"
#include "host/Project.h"
#include "host/RealtimeThread.h"
#include "host/Session.h"
#include "host/SessionSetup.h"
#include "host/StandardMIDIFile.h"

namespace korvel::host {
namespace {

constexpr uint32_t kSampleRate = 48000;
constexpr uint32_t kBlockFrames = 256;

struct ScheduledEvent {
  uint64_t frame;
  uint32_t track;
  uint8_t status, data1, data2;
};

std::vector<ScheduledEvent> Schedule(const MIDIFile& file, const std::vector<size_t>& playedTracks,
                                     size_t sessionTracks, int repeat) {
  std::vector<ScheduledEvent> events;
  uint64_t offset = 0;
  for (int round = 0; round < repeat; ++round) {
    uint64_t last = 0;
    for (size_t k = 0; k < playedTracks.size(); ++k) {
      for (const MIDIChannelEvent& e : file.tracks[playedTracks[k]].events) {
        auto frame = static_cast<uint64_t>(std::llround(file.secondsAt(e.tick) * kSampleRate));
        last = std::max(last, frame);
        events.push_back(
            {offset + frame, static_cast<uint32_t>(k % sessionTracks), e.status, e.data1, e.data2});
      }
    }
    offset += last + kSampleRate / 2;  // half a second between rounds
  }
  std::stable_sort(
      events.begin(), events.end(),
      [](const ScheduledEvent& a, const ScheduledEvent& b) { return a.frame < b.frame; });
  return events;
}

// Moves the thru from the playback thread's ring to the JACK port, once per JACK cycle.
class RingToJack : public JackProcessor {
 public:
  explicit RingToJack(ThruRing& ring) : ring_(ring) {}
  void process(jack_nframes_t, void*, void* midiOut) override { ring_.drainInto(midiOut); }

 private:
  ThruRing& ring_;
};

// The real-time loop. Everything it touches is prepared before it starts.
class Playback {
 public:
  Playback(const std::vector<ScheduledEvent>& events, const std::vector<PluginInstance*>& instances,
           double speed, MainLoop& loop)
      : events_(events), instances_(instances), speed_(speed), loop_(loop) {}

  void run() {
    float samples[kBlockFrames];
    AudioBufferList buffers{};
    buffers.mNumberBuffers = 1;
    buffers.mBuffers[0].mNumberChannels = 1;
    AudioTimeStamp time{};
    time.mFlags = 1;  // sample time valid
    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    const uint64_t lastFrame = events_.empty() ? 0 : events_.back().frame;
    size_t next = 0;
    for (uint64_t blockStart = 0; !stop_.load(std::memory_order_relaxed);
         blockStart += kBlockFrames) {
      const uint64_t blockEnd = blockStart + kBlockFrames;
      for (; next < events_.size() && events_[next].frame < blockEnd; ++next) {
        const ScheduledEvent& e = events_[next];
        instances_[e.track]->midiEvent(e.status, e.data1, e.data2,
                                       static_cast<uint32_t>(e.frame - blockStart));
      }
      for (PluginInstance* instance : instances_) {
        buffers.mBuffers[0].mDataByteSize = sizeof samples;
        buffers.mBuffers[0].mData = samples;
        AudioUnitRenderActionFlags flags = 0;
        time.mSampleTime = static_cast<double>(blockStart);
        instance->render(&flags, &time, kBlockFrames, &buffers);
      }
      if (next == events_.size() && blockStart > lastFrame) break;
      if (speed_ > 0) waitUntil(start, blockEnd);
    }
    done_.store(true, std::memory_order_release);
    loop_.wake();
  }

  void stop() { stop_.store(true, std::memory_order_relaxed); }
  bool done() const { return done_.load(std::memory_order_acquire); }

 private:
  void waitUntil(const timespec& start, uint64_t frame) const {
    double seconds = double(frame) / kSampleRate / speed_;
    timespec at = start;
    auto whole = static_cast<time_t>(seconds);
    at.tv_sec += whole;
    at.tv_nsec += static_cast<long>((seconds - double(whole)) * 1e9);
    if (at.tv_nsec >= 1000000000L) {
      at.tv_sec += 1;
      at.tv_nsec -= 1000000000L;
    }
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
    }
  }

  const std::vector<ScheduledEvent>& events_;
  const std::vector<PluginInstance*>& instances_;
  double speed_;
  MainLoop& loop_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> done_{false};
};

}  // namespace

int RunPlay(const PlayOptions& options) {
  if (options.session.editor) ConnectEditorDisplay();
  MIDIFile file = options.midiFile.empty() ? MIDIFile{} : ReadStandardMIDIFile(options.midiFile);
  std::vector<size_t> played;
  for (size_t i = 0; i < file.tracks.size(); ++i)
    if (!file.tracks[i].events.empty()) played.push_back(i);

  PluginBundle bundle(options.session.bundlePath);
  MainLoop loop(bundle);
  if (options.session.editor) loop.useGLibContext();
  auto jack = JackSession::TryOpen("korvel-host", false);
  std::unique_ptr<ThruRing> ring = jack ? std::make_unique<ThruRing>() : nullptr;
  std::unique_ptr<RingToJack> toJack;
  if (jack) {
    toJack = std::make_unique<RingToJack>(*ring);
    jack->activate(toJack.get());
  }

  Session session(bundle, ring.get());
  LoadProjects(session, options.session);
  size_t wanted = options.tracks > 0 ? size_t(options.tracks) : std::max<size_t>(played.size(), 1);
  wanted = std::max(wanted, session.tracks().size());
  while (session.tracks().size() < wanted) {
    size_t k = session.tracks().size();
    std::string name = k < played.size() ? file.tracks[played[k]].name : "";
    session.addTrack(name.empty() ? "Track " + std::to_string(k + 1) : name);
  }
  // Declared after the session: the views are released before the instances close.
  std::unique_ptr<EditorWindows> editors;
  if (options.session.editor) editors = std::make_unique<EditorWindows>(session, loop);
  WaitForLinks(session, loop, options.session.waitLinkedSeconds);

  std::unique_ptr<CommandChannel> commands;
  if (options.commands) {
    commands = std::make_unique<CommandChannel>(session, loop, std::cout);
    std::cout << "ready: " << session.tracks().size() << " track(s)";
    for (auto& t : session.tracks()) {
      char uid[9];
      std::snprintf(uid, sizeof uid, "%08X", ReadMonitoredState(*t->instance).uniqueID);
      std::cout << " " << uid;
    }
    std::cout << std::endl;
  }
  auto runCommands = [&] {
    if (commands) commands->runPending();
  };

  std::vector<ScheduledEvent> events =
      Schedule(file, played, session.tracks().size(), options.repeat);
  std::vector<PluginInstance*> instances;
  for (auto& t : session.tracks()) instances.push_back(t->instance.get());
  Playback playback(events, instances, options.speed, loop);
  {
    RealtimeThread thread([&] { playback.run(); });
    // Closing every editor window ends the play early, as Ctrl-C does.
    loop.runUntil([&] {
      runCommands();
      return playback.done() || (editors && editors->allClosed()) ||
             (commands && commands->quitRequested());
    });
    playback.stop();
  }
  if (commands && !loop.interrupted()) {
    loop.runUntil([&] {
      runCommands();
      return commands->quitRequested() || commands->inputClosed() ||
             (editors && editors->allClosed());
    });
  }
  if (jack) {
    // One more cycle or two lets the last thru messages leave the ring.
    loop.runFor(std::chrono::milliseconds(50));
  }

  if (editors) {
    editors->runUntilClosed(options.session.editorSeconds);
    editors.reset();
  }

  if (loop.interrupted()) std::cout << "interrupted\n";
  std::cout << "played " << events.size() << " events from "
            << (options.midiFile.empty() ? "no file" : options.midiFile) << " on "
            << session.tracks().size() << " track(s)"
            << (jack ? ", thru to JACK port " + jack->clientName() + ":MIDI Out" : "") << "\n";
  if (options.snapshot)
    for (const std::string& path : WriteEditorSnapshots(session, *options.snapshot))
      std::cout << "snapshot " << path << "\n";
  for (size_t i = 0; i < session.tracks().size(); ++i)
    PrintTrackReport(std::cout, i, *session.tracks()[i]);
  if (!options.session.saveProject.empty()) {
    session.save(options.session.saveProject);
    std::cout << "saved " << options.session.saveProject << "\n";
  }
  if (jack) jack->deactivate();
  return loop.interrupted() ? 130 : 0;
}

}  // namespace korvel::host
