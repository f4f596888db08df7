// What an instance has seen, read back through its properties the way its editor reads
// it, and printed as a short report per track.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace korvel::host {

class PluginInstance;
struct Track;

struct MonitoredState {
  uint32_t uniqueID = 0;
  bool connected = false;
  std::string companionTrackName;
  // Controllers flagged as seen, each with its highest current value over the 16 channels.
  std::vector<std::pair<int, int>> controllers;
  int32_t activeArticulation = -1;
  uint32_t lastVelocity = 0;
};

MonitoredState ReadMonitoredState(const PluginInstance& instance);
void PrintTrackReport(std::ostream& out, size_t index, const Track& track);

}  // namespace korvel::host
