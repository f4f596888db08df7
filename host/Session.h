// The host's tracks: each one a name, an open instance of the plug-in and the route of
// that instance's MIDI thru. Projects are loaded into and saved from a session.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "host/MIDIThru.h"
#include "host/PluginInstance.h"

namespace korvel::host {

struct Track {
  std::string name;
  std::unique_ptr<MIDIThru> thru;
  std::unique_ptr<PluginInstance> instance;  // declared last: closed first
};

class Session {
 public:
  // `ring`: where the thru goes besides being counted (null: counted only).
  Session(const PluginBundle& bundle, ThruRing* ring) : bundle_(bundle), ring_(ring) {}

  // A new track with a freshly opened, initialized instance whose MIDI output is routed.
  Track& addTrack(const std::string& name);
  // Appends one track per project track, each restored from its saved state. Loading
  // the same project twice gives the second copy fresh UIDs (the plug-in refuses UIDs
  // that live instances hold).
  void load(const std::string& projectPath);
  void save(const std::string& projectPath) const;

  std::vector<std::unique_ptr<Track>>& tracks() { return tracks_; }
  const std::vector<std::unique_ptr<Track>>& tracks() const { return tracks_; }

 private:
  const PluginBundle& bundle_;
  ThruRing* ring_;
  std::vector<std::unique_ptr<Track>> tracks_;
};

}  // namespace korvel::host
