/*
 * The virtual-time dispatcher. One agenda, ordered by due time and then by posting
 * order, holds delayed tasks, posted tasks (due "now") and timer ticks. Draining pops the
 * earliest entry, sets the clock to its due time and runs it with no lock held, so that
 * whatever runs may post, arm or cancel re-entrantly, and even advance the clock itself
 * (which is how a test models a handler that takes time).
 *
 * Timer semantics follow the system dispatcher: ticks that come due while the handler is
 * running are dropped, cancel() stops new handlers, and the cancel handler runs once: right
 * behind the handler under way, or posted to the queue when no handler runs. Wake-ups are
 * planned as the system dispatcher plans them (WakeupPlan.h): entries whose leeway windows
 * overlap run together at one virtual time, none before its deadline.
 */
#include "platform/VirtualDispatcher.h"

#include "platform/WakeupPlan.h"

#include <algorithm>
#include <mutex>
#include <utility>
#include <vector>

namespace korvel::platform {
namespace {

class VirtualTimer;

/* Everything the dispatcher and its timers share. Timers keep it alive, so a timer that
 * outlives its dispatcher (a test leaking a reference) does no harm. */
struct Core {
  struct Entry {
    Duration deadline{0};
    Duration leeway{0};
    uint64_t sequence = 0;
    Task task;                      // a task, or
    VirtualTimer* timer = nullptr;  // a tick of this (retained) timer
    uint64_t generation = 0;
  };
  static bool DueLater(const Entry& a, const Entry& b) {
    if (a.deadline != b.deadline) return a.deadline > b.deadline;
    return a.sequence > b.sequence;
  }

  mutable std::mutex mutex;
  Duration now{0};
  uint64_t nextSequence = 0;
  std::vector<Entry> agenda;  // a heap under DueLater
  bool closed = false;

  void pushLocked(Entry entry) {
    entry.sequence = nextSequence++;
    agenda.push_back(std::move(entry));
    std::push_heap(agenda.begin(), agenda.end(), DueLater);
  }
  void post(Duration due, Task task) {
    std::lock_guard lock(mutex);
    if (closed) return;
    Entry entry;
    entry.deadline = std::max(due, now);
    entry.task = std::move(task);
    pushLocked(std::move(entry));
  }
  void runUntil(Duration target);
};

class VirtualTimer final : public TimerSource {
 public:
  explicit VirtualTimer(std::shared_ptr<Core> core) : core_(std::move(core)) {}

  void setTimer(Duration start, Duration interval, Duration leeway) override {
    std::lock_guard lock(core_->mutex);
    start_ = std::max(start, Duration::zero());
    interval_ = interval;
    leeway_ = std::max(leeway, Duration::zero());
    timeSet_ = true;
    armLocked();
  }
  void setLeeway(Duration leeway) override {
    std::lock_guard lock(core_->mutex);
    leeway_ = std::max(leeway, Duration::zero());
  }
  void setEventHandler(Task handler) override {
    std::lock_guard lock(core_->mutex);
    handler_ = std::make_shared<Task>(std::move(handler));
  }
  void setCancelHandler(Task handler) override {
    std::lock_guard lock(core_->mutex);
    cancelHandler_ = std::move(handler);
  }
  void resume() override {
    std::lock_guard lock(core_->mutex);
    if (resumed_) return;
    resumed_ = true;
    armLocked();
  }
  void cancel() override {
    std::lock_guard lock(core_->mutex);
    if (cancelled_) return;
    cancelled_ = true;
    if (!inFlight_) postCancelHandlerLocked();
  }
  bool isCancelled() const override {
    std::lock_guard lock(core_->mutex);
    return cancelled_;
  }

  /* A tick popped from the agenda (core mutex held). Returns the handler to run, or null
   * when the tick is stale, cancelled or coalesced into the running handler. */
  std::shared_ptr<Task> takeTickLocked(const Core::Entry& tick) {
    if (tick.generation != generation_ || cancelled_) return nullptr;
    if (interval_ > Duration::zero()) {
      Core::Entry next;
      next.deadline = tick.deadline + interval_;
      next.leeway = leeway_;
      next.timer = this;
      next.generation = generation_;
      retain();
      core_->pushLocked(std::move(next));
    }
    if (inFlight_ || !handler_) return nullptr;
    inFlight_ = true;
    return handler_;
  }

  /* After the handler of a tick has returned (core mutex held). Returns the cancel
   * handler when the timer was cancelled meanwhile: like the system dispatcher, it runs
   * right behind the handler, on the same queue. */
  Task finishTickLocked() {
    inFlight_ = false;
    if (!cancelled_ || cancelHandlerIssued_) return nullptr;
    cancelHandlerIssued_ = true;
    return std::move(cancelHandler_);
  }

  bool armedLocked(const Core::Entry& tick) const {
    return tick.generation == generation_ && !cancelled_;
  }

 private:
  void armLocked() {
    if (!resumed_ || !timeSet_ || cancelled_ || core_->closed) return;
    Core::Entry tick;
    tick.deadline = core_->now + start_;
    tick.leeway = leeway_;
    tick.timer = this;
    tick.generation = ++generation_;
    retain();
    core_->pushLocked(std::move(tick));
  }
  void postCancelHandlerLocked() {
    if (cancelHandlerIssued_) return;
    cancelHandlerIssued_ = true;
    if (!cancelHandler_ || core_->closed) return;
    Core::Entry entry;
    entry.deadline = core_->now;
    entry.task = std::move(cancelHandler_);
    core_->pushLocked(std::move(entry));
  }

  std::shared_ptr<Core> core_;
  std::shared_ptr<Task> handler_;
  Task cancelHandler_;
  Duration start_{0};
  Duration interval_{0};
  Duration leeway_{0};
  bool timeSet_ = false;
  bool resumed_ = false;
  bool cancelled_ = false;
  bool inFlight_ = false;
  bool cancelHandlerIssued_ = false;
  uint64_t generation_ = 0;
};

void Core::runUntil(Duration target) {
  bool waking = false;
  for (;;) {
    Task task;
    VirtualTimer* timer = nullptr;
    std::shared_ptr<Task> handler;
    {
      std::lock_guard lock(mutex);
      if (agenda.empty()) {
        now = std::max(now, target);
        return;
      }
      // A wake-up is planned once, then everything due by its time runs at that time,
      // work posted meanwhile included.
      if (!waking) {
        if (const Duration wake = PlanWakeup(agenda); wake > now) {
          if (wake > target) {
            now = std::max(now, target);
            return;
          }
          now = wake;
        }
        waking = true;
      }
      if (agenda.front().deadline > now) {
        waking = false;
        continue;
      }
      std::pop_heap(agenda.begin(), agenda.end(), DueLater);
      Entry entry = std::move(agenda.back());
      agenda.pop_back();
      if (entry.timer) {
        timer = entry.timer;
        handler = timer->takeTickLocked(entry);
      } else {
        task = std::move(entry.task);
      }
    }
    if (timer) {
      if (handler) {
        if (*handler) (*handler)();
        Task cancelHandler;
        {
          std::lock_guard lock(mutex);
          cancelHandler = timer->finishTickLocked();
        }
        if (cancelHandler) cancelHandler();
      }
      timer->release();  // the agenda's reference to this tick
    } else if (task) {
      task();
    }
  }
}

}  // namespace

struct VirtualDispatcher::State {
  std::shared_ptr<Core> core = std::make_shared<Core>();
};

VirtualDispatcher::VirtualDispatcher() : state_(std::make_unique<State>()) {}

VirtualDispatcher::~VirtualDispatcher() {
  std::vector<Core::Entry> leftovers;
  {
    std::lock_guard lock(state_->core->mutex);
    state_->core->closed = true;
    leftovers.swap(state_->core->agenda);
  }
  for (Core::Entry& entry : leftovers)
    if (entry.timer) entry.timer->release();
}

void VirtualDispatcher::async(DispatchQueue, Task task) {
  Core& core = *state_->core;
  core.post(Duration::zero(), std::move(task));
}

void VirtualDispatcher::after(Duration delay, DispatchQueue, Task task) {
  Core& core = *state_->core;
  Duration due;
  {
    std::lock_guard lock(core.mutex);
    due = core.now + std::max(delay, Duration::zero());
  }
  core.post(due, std::move(task));
}

TimerSource* VirtualDispatcher::makeTimerSource(DispatchQueue) {
  return new VirtualTimer(state_->core);
}

Duration VirtualDispatcher::now() const {
  std::lock_guard lock(state_->core->mutex);
  return state_->core->now;
}

void VirtualDispatcher::advance(Duration d) {
  Core& core = *state_->core;
  Duration target;
  {
    std::lock_guard lock(core.mutex);
    target = core.now + std::max(d, Duration::zero());
  }
  core.runUntil(target);
}

void VirtualDispatcher::runDue() {
  Core& core = *state_->core;
  Duration target;
  {
    std::lock_guard lock(core.mutex);
    target = core.now;
  }
  core.runUntil(target);
}

size_t VirtualDispatcher::pendingCount() const {
  std::lock_guard lock(state_->core->mutex);
  size_t count = 0;
  for (const Core::Entry& entry : state_->core->agenda) {
    if (!entry.timer || entry.timer->armedLocked(entry)) ++count;
  }
  return count;
}

}  // namespace korvel::platform
