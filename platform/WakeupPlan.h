/*
 * When a timer thread wakes up for a set of deadlines that each allow some leeway. A
 * deadline is never run early; leeway only lets it wait for others. The thread wakes at
 * the latest deadline that still lies inside every waiting entry's window (deadline to
 * deadline plus leeway), and runs everything due by then in that one wake-up: the ticks
 * of many periodic timers whose windows overlap share a wake-up instead of costing one
 * each, and a timer on its own runs right at its deadline.
 */
#ifndef KORVEL_PLATFORM_WAKEUPPLAN_H
#define KORVEL_PLATFORM_WAKEUPPLAN_H

#include <algorithm>
#include <limits>

#include "platform/Dispatch.h"

namespace korvel::platform {

/* `entries` is not empty; each entry has `deadline` and `leeway` members (Duration). */
template <class Entries>
Duration PlanWakeup(const Entries& entries) {
  Duration latest = Duration::max();
  for (const auto& entry : entries)
    latest = std::min(latest, entry.deadline + std::max(entry.leeway, Duration::zero()));
  Duration wake = Duration::min();
  for (const auto& entry : entries)
    if (entry.deadline <= latest) wake = std::max(wake, entry.deadline);
  return wake;
}

}  // namespace korvel::platform

#endif
