/*
 * A dispatcher on a virtual clock for tests: nothing runs until the test advances the
 * clock or drains the queues, and then everything runs on the test's thread, in time
 * order. Tasks posted from other threads (a notification watcher, say) are queued safely
 * and run at the next drain.
 */
#pragma once

#include "platform/Dispatch.h"

namespace korvel::platform {

class VirtualDispatcher final : public Dispatcher {
 public:
  VirtualDispatcher();
  ~VirtualDispatcher() override;

  void async(DispatchQueue queue, Task task) override;
  void after(Duration delay, DispatchQueue queue, Task task) override;
  TimerSource* makeTimerSource(DispatchQueue queue) override;
  Duration now() const override;

  /* Moves the clock forward by `d`, running every task and timer tick that comes due on
   * the way, each at its own virtual time, in order. */
  void advance(Duration d);
  /* Runs the work that is due now (both queues) without moving the clock. */
  void runDue();
  /* Number of tasks and armed timers waiting. */
  size_t pendingCount() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace korvel::platform
