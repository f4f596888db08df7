/*
 * The editor's repeating timers, run from the host's idle calls instead of a thread or
 * a main loop of our own: each idle call fires the timers whose time has come on the
 * monotonic clock. A timer keeps its own beat (the next firing is one interval after the
 * last one was due), so host idle calls at any rate average out to the interval; after a
 * stall it fires once and picks the beat up from then on, never in a burst.
 */
#ifndef KORVEL_LV2_UI_IDLETIMERS_H
#define KORVEL_LV2_UI_IDLETIMERS_H

#include <chrono>
#include <cstdint>
#include <map>

#include "editor/ViewABI.h"

namespace korvel::lv2ui {

class IdleTimers {
 public:
  using Clock = std::chrono::steady_clock;

  /* A timer whose first firing is one interval after `now`; the token is never 0. */
  uint64_t start(Clock::duration interval, KorvelTimerCallback fire, void* data,
                 Clock::time_point now);
  /* After this, the timer never fires again, even from within a callback of this run. */
  void stop(uint64_t token);
  /* Fires every timer that is due at `now`, once each. */
  void runDue(Clock::time_point now);

 private:
  struct Timer {
    Clock::duration interval;
    Clock::time_point due;
    KorvelTimerCallback fire;
    void* data;
  };
  std::map<uint64_t, Timer> timers_;
  uint64_t lastToken_ = 0;
};

}  // namespace korvel::lv2ui

#endif
