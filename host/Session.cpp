#include "host/Session.h"

#include "host/Project.h"

namespace korvel::host {

Track& Session::addTrack(const std::string& name) {
  auto track = std::make_unique<Track>();
  track->name = name;
  track->thru = std::make_unique<MIDIThru>(ring_);
  track->instance = std::make_unique<PluginInstance>(bundle_);
  track->instance->setMIDIOutputCallback(&MIDIThru::Callback, track->thru.get());
  track->instance->initialize();
  tracks_.push_back(std::move(track));
  return *tracks_.back();
}

void Session::load(const std::string& projectPath) {
  for (ProjectTrack& saved : LoadProject(projectPath)) {
    Track& track = addTrack(saved.name);
    track.instance->restoreState(saved.state.get());
  }
}

void Session::save(const std::string& projectPath) const {
  std::vector<ProjectTrack> tracks;
  for (const auto& t : tracks_) tracks.push_back({t->name, t->instance->savedState()});
  SaveProject(projectPath, tracks);
}

}  // namespace korvel::host
