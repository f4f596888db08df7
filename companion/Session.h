// The companion's session: the host tracks it knows, each with its keyswitch
// articulations, and the track the user has selected. Loaded from a JSON file:
//
//   { "selectedTrack": "Violins",
//     "tracks": [ { "name": "Violins",
//                   "articulations": [ { "note": 24, "name": "Legato" }, ... ] }, ... ] }
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tolvane {

struct Articulation {
  int note = 0;
  std::string name;
};

struct Track {
  std::string name;
  std::vector<Articulation> articulations;
};

struct Session {
  std::vector<Track> tracks;
  std::string selectedTrack;  // empty: none

  const Track* find(const std::string& name) const;
  const Track* selected() const { return find(selectedTrack); }
};

/* Nothing (and a reason in `error`) when the file cannot be read or is not a session. */
std::optional<Session> LoadSession(const std::string& path, std::string* error = nullptr);
std::optional<Session> ParseSession(const std::string& text, std::string* error = nullptr);

}  // namespace tolvane
