#include "lv2/ui/IdleTimers.h"

#include <vector>

namespace korvel::lv2ui {

uint64_t IdleTimers::start(Clock::duration interval, KorvelTimerCallback fire, void* data,
                           Clock::time_point now) {
  const uint64_t token = ++lastToken_;
  timers_.emplace(token, Timer{interval, now + interval, fire, data});
  return token;
}

void IdleTimers::stop(uint64_t token) { timers_.erase(token); }

void IdleTimers::runDue(Clock::time_point now) {
  // A callback may stop or start timers: look each one up again before firing it.
  std::vector<uint64_t> due;
  for (const auto& [token, timer] : timers_)
    if (timer.due <= now) due.push_back(token);
  for (uint64_t token : due) {
    auto it = timers_.find(token);
    if (it == timers_.end()) continue;
    Timer& timer = it->second;
    timer.due += timer.interval;
    if (timer.due <= now) timer.due = now + timer.interval;
    const KorvelTimerCallback fire = timer.fire;
    void* data = timer.data;
    fire(data);
  }
}

}  // namespace korvel::lv2ui
