// The validator's phases. Each one exercises the plug-in through its interface only and
// answers PASS, FAIL or SKIP with a short reason.
#pragma once

#include <string>
#include <vector>

namespace korvel::host {

class MainLoop;
class PluginBundle;

enum class Outcome { Pass, Fail, Skip };

struct PhaseResult {
  Outcome outcome = Outcome::Pass;
  std::string detail;
};

struct ValidationContext {
  const PluginBundle& bundle;
  MainLoop& loop;
  int cycles;
  double stressSeconds = 5;  // length of the stress phase, when it runs
};

struct ValidationPhase {
  const char* name;
  PhaseResult (*run)(ValidationContext&);
};

// In the order they must run: open times first, while no instance has ever existed.
const std::vector<ValidationPhase>& ValidationPhases();

}  // namespace korvel::host
