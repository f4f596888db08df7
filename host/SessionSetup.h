// Steps that play and live share when they set up their tracks.
#pragma once

#include "host/Commands.h"

namespace korvel::host {

class MainLoop;
class Session;

// Loads every --load project in order (twice over with --duplicate).
void LoadProjects(Session& session, const SessionOptions& options);
// With --wait-linked: runs the main loop until every track's instance reports itself
// linked to the companion (they pick up their connection files on their own timers), or
// the time is up.
void WaitForLinks(Session& session, MainLoop& loop, double seconds);

}  // namespace korvel::host
