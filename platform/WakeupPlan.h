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

/* `heap` is not empty and is a binary heap with the earliest deadline first: no entry is
 * due before its parent (index (i - 1) / 2). Each entry has `deadline` and `leeway`
 * members (Duration). Only entries due by the first one's window end can bound or join
 * the wake-up, and under a later-due parent the whole subtree is later still, so the
 * walk visits those entries and their children, not the whole heap: with hundreds of
 * periodic timers, a wake-up looks at the few that share it. */
template <class Heap>
Duration PlanWakeup(const Heap& heap) {
  const auto size = heap.size();
  const Duration horizon = heap[0].deadline + std::max(heap[0].leeway, Duration::zero());
  // The walk's stack: a path of at most the heap's depth, times two children each.
  size_t stack[2 * 64];
  size_t depth = 0;
  auto visitUnderHorizon = [&](auto&& visit) {
    depth = 0;
    stack[depth++] = 0;
    while (depth > 0) {
      const size_t i = stack[--depth];
      visit(heap[i]);
      for (size_t child = 2 * i + 1; child <= 2 * i + 2 && child < size; ++child)
        if (heap[child].deadline <= horizon) stack[depth++] = child;
    }
  };
  Duration latest = Duration::max();
  visitUnderHorizon([&](const auto& entry) {
    latest = std::min(latest, entry.deadline + std::max(entry.leeway, Duration::zero()));
  });
  Duration wake = Duration::min();
  visitUnderHorizon([&](const auto& entry) {
    if (entry.deadline <= latest) wake = std::max(wake, entry.deadline);
  });
  return wake;
}

}  // namespace korvel::platform

#endif
