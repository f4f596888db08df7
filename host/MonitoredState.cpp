#include "host/MonitoredState.h"

#include <algorithm>
#include <cstdio>

#include "host/PluginInstance.h"
#include "host/Session.h"

namespace korvel::host {

MonitoredState ReadMonitoredState(const PluginInstance& instance) {
  MonitoredState s;
  s.uniqueID = instance.uniqueID();
  s.connected = instance.connected();
  s.companionTrackName = instance.trackName();
  auto values = instance.ccValues();
  auto triggered = instance.ccTriggered();
  for (int cc = 0; cc < 128; ++cc) {
    if (!triggered[cc]) continue;
    int highest = 0;
    for (int ch = 0; ch < 16; ++ch) highest = std::max<int>(highest, values[ch * 128 + cc]);
    s.controllers.emplace_back(cc, highest);
  }
  s.activeArticulation = instance.activeArticulation();
  s.lastVelocity = instance.lastVelocity();
  return s;
}

void PrintTrackReport(std::ostream& out, size_t index, const Track& track) {
  MonitoredState s = ReadMonitoredState(*track.instance);
  char uid[9];
  std::snprintf(uid, sizeof uid, "%08X", s.uniqueID);
  out << "track " << index + 1 << ": " << track.name << "\n";
  out << "  uid: " << uid << "\n";
  out << "  connected: " << (s.connected ? "yes" : "no") << "\n";
  out << "  companion track: " << s.companionTrackName << "\n";
  out << "  controllers:";
  if (s.controllers.empty()) out << " none";
  for (size_t i = 0; i < s.controllers.size(); ++i)
    out << (i ? ", " : " ") << "CC" << s.controllers[i].first << " max " << s.controllers[i].second;
  out << "\n";
  out << "  articulation: ";
  if (s.activeArticulation < 0)
    out << "none\n";
  else
    out << s.activeArticulation << "\n";
  out << "  last velocity: " << s.lastVelocity << "\n";
  out << "  thru events: " << track.thru->events() << "\n";
}

}  // namespace korvel::host
