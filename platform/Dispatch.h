/*
 * Queues and timers (the platform's libdispatch), as an interface with two
 * implementations: the system one (real threads, real clock) and a virtual-time one for
 * tests, which runs everything on the test's thread as its clock is advanced.
 *
 * Two queues exist: the main queue, whose work runs on the host's main thread when the
 * host calls Korvel_RunMainQueue (it polls Korvel_MainQueueFD), and the global utility
 * queue, a few worker threads shared by every instance in the process.
 *
 * A timer source never runs its handler twice at once (ticks that come due while a
 * handler runs are coalesced); after cancel() no new handler starts, and the cancel
 * handler runs once the handler under way, if any, has returned.
 */
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

#include "platform/Export.h"

namespace korvel::platform {

using Duration = std::chrono::nanoseconds;
using Task = std::function<void()>;

enum class DispatchQueue : uint8_t { Main, Utility };

class TimerSource {
 public:
  virtual ~TimerSource() = default;
  /* First tick `start` from now, then every `interval`; `leeway` lets the system group
   * wake-ups of several timers (a tick may come up to `leeway` late, never early). An
   * interval of zero or less makes a one-shot timer. Calling it again re-arms the timer. */
  virtual void setTimer(Duration start, Duration interval, Duration leeway) = 0;
  /* Changes the leeway of the ticks planned from now on, keeping the timer's phase: the
   * tick already planned keeps the old one. Cheap when the leeway does not change. */
  virtual void setLeeway(Duration leeway) = 0;
  virtual void setEventHandler(Task handler) = 0;
  virtual void setCancelHandler(Task handler) = 0;
  virtual void resume() = 0;
  virtual void cancel() = 0;
  virtual bool isCancelled() const = 0;

  /* Intrusive reference count: the creator holds one reference. */
  void retain() { refs_.fetch_add(1, std::memory_order_relaxed); }
  void release() {
    if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
  }

 private:
  std::atomic<int> refs_{1};
};

class Dispatcher {
 public:
  virtual ~Dispatcher() = default;
  virtual void async(DispatchQueue queue, Task task) = 0;
  virtual void after(Duration delay, DispatchQueue queue, Task task) = 0;
  /* A new, suspended timer source whose handlers run on `queue`; the caller owns one
   * reference. */
  virtual TimerSource* makeTimerSource(DispatchQueue queue) = 0;
  /* Monotonic time of this dispatcher's clock. */
  virtual Duration now() const = 0;
};

/* The process's dispatcher: the system one unless a test installed another. */
Dispatcher& CurrentDispatcher();
/* Installs `dispatcher` (not owned) for every later call; nullptr restores the system
 * dispatcher. Tests only, between instances. */
void SetDispatcherForTesting(Dispatcher* dispatcher);

/* While the ticks of one timer wake-up run, on the thread that runs them: a number that
 * names that wake-up (never 0); 0 anywhere else. The ticks of one wake-up are due at one
 * moment, so work that is the same for all of them -- a look at a file they share -- may
 * be done once for all. */
uint64_t CurrentWakeup();

/* Names the work this thread does while it lives as one wake-up's (see CurrentWakeup).
 * The system dispatcher marks its tick batches with it (the virtual one runs ticks one by
 * one, each its own look); a test may stand for a wake-up. */
class WakeupScope {
 public:
  WakeupScope();
  ~WakeupScope();
  WakeupScope(const WakeupScope&) = delete;
  WakeupScope& operator=(const WakeupScope&) = delete;

 private:
  uint64_t outer_;
};

/* Runs `fn` exactly once per process, even when several threads race on the first call:
 * the losers wait until the winner's `fn` has returned. A token is zero-initialised
 * (`static OnceToken token;`). If `fn` throws, the token is reset and the next caller
 * tries again. */
using OnceToken = std::atomic<int>;

template <class Fn>
void DispatchOnce(OnceToken& token, Fn&& fn) {
  enum : int { kNotRun = 0, kRunning = 1, kDone = 2 };
  int state = token.load(std::memory_order_acquire);
  while (state != kDone) {
    if (state == kNotRun &&
        token.compare_exchange_strong(state, kRunning, std::memory_order_acq_rel)) {
      try {
        fn();
      } catch (...) {
        token.store(kNotRun, std::memory_order_release);
        token.notify_all();
        throw;
      }
      token.store(kDone, std::memory_order_release);
      token.notify_all();
      return;
    }
    if (state == kRunning) token.wait(kRunning, std::memory_order_acquire);
    state = token.load(std::memory_order_acquire);
  }
}

}  // namespace korvel::platform

/* The two hooks a host uses to run main-queue work on its main thread. */
extern "C" {
KORVEL_EXPORT int Korvel_MainQueueFD(void);
KORVEL_EXPORT void Korvel_RunMainQueue(void);
}
