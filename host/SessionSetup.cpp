#include "host/SessionSetup.h"

#include <chrono>
#include <iostream>

#include "host/MainLoop.h"
#include "host/Session.h"

namespace korvel::host {

void LoadProjects(Session& session, const SessionOptions& options) {
  for (int pass = 0; pass < (options.duplicate ? 2 : 1); ++pass)
    for (const std::string& project : options.loadProjects) session.load(project);
}

void WaitForLinks(Session& session, MainLoop& loop, double seconds) {
  if (seconds <= 0) return;
  auto allLinked = [&] {
    for (auto& t : session.tracks())
      if (!t->instance->connected()) return false;
    return true;
  };
  auto timeout = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(seconds));
  if (!loop.runUntil(allLinked, timeout) && !loop.interrupted())
    std::cerr << "korvel-host: not every track linked within " << seconds << " s\n";
}

}  // namespace korvel::host
