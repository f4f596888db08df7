// The validator's stress phase: a few instances hammered from several threads at once
// (property gets and sets, saved-state reads and restores, UID changes, queue drains)
// while a real-time thread feeds them MIDI and renders, the main thread runs the
// plug-in's main queue and ticks and draws their editors. It reports every answer that no
// interleaving of those calls could have produced.
#pragma once

#include "host/verify/ValidationChecks.h"

namespace korvel::host {

// Runs for ctx.stressSeconds.
PhaseResult StressPhase(ValidationContext& ctx);

}  // namespace korvel::host
