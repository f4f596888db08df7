// korvel-host validate: loads a bundle like a host and runs every validation phase,
// printing one PASS/FAIL/SKIP line each. Any FAIL makes the exit status 1.
#include <iostream>
#include <memory>
#include <vector>

#include "host/Commands.h"
#include "host/MainLoop.h"
#include "host/PluginBundle.h"
#include "host/PluginInstance.h"
#include "host/verify/StressCheck.h"
#include "host/verify/ValidationChecks.h"

namespace korvel::host {
namespace {

void Print(const char* outcome, const std::string& phase, const std::string& detail) {
  std::cout << outcome << "  " << phase;
  if (!detail.empty()) std::cout << ": " << detail;
  std::cout << std::endl;
}

}  // namespace

int RunValidate(const ValidateOptions& options) {
  std::cout << "validating " << options.bundlePath << std::endl;
  std::unique_ptr<PluginBundle> bundle;
  try {
    bundle = std::make_unique<PluginBundle>(options.bundlePath);
  } catch (const BundleError& e) {
    Print("FAIL", "bundle", e.what());
    std::cout << "validation FAILED" << std::endl;
    return 1;
  }
  MainLoop loop(*bundle);
  ValidationContext context{*bundle, loop, options.cycles, options.stressSeconds};
  std::vector<ValidationPhase> phases = ValidationPhases();
  if (options.stress) phases.push_back({"stress", &StressPhase});
  int failures = 0;
  for (const ValidationPhase& phase : phases) {
    PhaseResult result;
    try {
      result = phase.run(context);
    } catch (const std::exception& e) {
      result = {Outcome::Fail, e.what()};
    }
    if (result.outcome == Outcome::Fail) ++failures;
    Print(result.outcome == Outcome::Pass   ? "PASS"
          : result.outcome == Outcome::Fail ? "FAIL"
                                            : "SKIP",
          phase.name, result.detail);
    if (loop.interrupted()) break;
  }
  std::cout << (failures ? "validation FAILED (" + std::to_string(failures) + " phase(s))"
                         : std::string("validation passed"))
            << std::endl;
  return failures ? 1 : 0;
}

}  // namespace korvel::host
