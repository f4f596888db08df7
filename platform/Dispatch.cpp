/*
 * The system dispatcher: real threads on the monotonic clock.
 *
 *  - Main queue: a FIFO whose work the host runs on its own main thread. An eventfd is
 *    readable exactly while the FIFO is not empty; both change under one mutex, so a
 *    host that polls the descriptor never misses work and never spins on a drained
 *    queue.
 *  - Utility queue: two worker threads for the whole process.
 *  - Timers and delayed tasks: one timer thread sleeping on a deadline heap. Entries whose
 *    leeway windows overlap share one wake-up (WakeupPlan.h); none runs early, and the
 *    ticks of one wake-up go to the utility queue as one batch.
 *
 * Threads start on first use. The dispatcher is created once and never destroyed: its
 * threads may still be running while the process exits, and a destructor racing with
 * them would be worse than the leak.
 */
#include "platform/Dispatch.h"

#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "platform/WakeupPlan.h"

namespace korvel::platform {
namespace {

constexpr int kUtilityThreads = 2;

Duration MonotonicNow() {
  return std::chrono::duration_cast<Duration>(std::chrono::steady_clock::now().time_since_epoch());
}

void NameThisThread(const char* name) { pthread_setname_np(pthread_self(), name); }

/* The main queue: run by the host through the two exported hooks. */
class MainQueue {
 public:
  MainQueue() : fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

  int fd() const { return fd_; }

  void post(Task task) {
    std::lock_guard lock(mutex_);
    bool wasEmpty = tasks_.empty();
    tasks_.push_back(std::move(task));
    if (wasEmpty) signal();
  }

  /* Runs the tasks queued at the moment of the call; tasks they post wait for the next
   * call (the descriptor is readable again by then). */
  void runDue() {
    std::deque<Task> batch;
    {
      std::lock_guard lock(mutex_);
      batch.swap(tasks_);
      drainSignal();
    }
    while (!batch.empty()) {
      Task task = std::move(batch.front());
      batch.pop_front();
      if (task) task();
    }
  }

 private:
  void signal() {
    uint64_t one = 1;
    while (write(fd_, &one, sizeof one) < 0 && errno == EINTR) {
    }
  }
  void drainSignal() {
    uint64_t value;
    while (read(fd_, &value, sizeof value) < 0 && errno == EINTR) {
    }
  }

  const int fd_;
  std::mutex mutex_;
  std::deque<Task> tasks_;
};

/* The global utility queue: a fixed pool of workers, started on the first post. */
class UtilityQueue {
 public:
  void post(Task task) {
    start();
    {
      std::lock_guard lock(mutex_);
      tasks_.push_back(std::move(task));
    }
    wake_.notify_one();
  }

 private:
  [[noreturn]] void work() {
    NameThisThread("korvel-utility");
    for (;;) {
      Task task;
      {
        std::unique_lock lock(mutex_);
        wake_.wait(lock, [this] { return !tasks_.empty(); });
        task = std::move(tasks_.front());
        tasks_.pop_front();
      }
      if (task) task();
    }
  }

  void start() {
    std::call_once(started_, [this] {
      for (int i = 0; i < kUtilityThreads; ++i) std::thread([this] { work(); }).detach();
    });
  }

  std::once_flag started_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Task> tasks_;
};

class SystemDispatcher;

/* A timer source. Its arming (times, generation) belongs to the dispatcher's timer
 * thread and is guarded by the heap's mutex; its running state (handlers, in-flight,
 * cancellation) is guarded by its own mutex. */
class SystemTimer final : public TimerSource {
 public:
  SystemTimer(SystemDispatcher& owner, DispatchQueue queue) : owner_(owner), queue_(queue) {}

  void setTimer(Duration start, Duration interval, Duration leeway) override;
  void setLeeway(Duration leeway) override {
    leeway_.store(std::max(leeway, Duration::zero()), std::memory_order_relaxed);
  }
  void setEventHandler(Task handler) override {
    std::lock_guard lock(mutex_);
    handler_ = std::make_shared<Task>(std::move(handler));
  }
  void setCancelHandler(Task handler) override {
    std::lock_guard lock(mutex_);
    cancelHandler_ = std::move(handler);
  }
  void resume() override;
  void cancel() override;
  bool isCancelled() const override { return cancelled_.load(std::memory_order_acquire); }

  /* Called by the timer thread when a tick is due: whether the tick is to run (then its
   * caller must see that runTick() follows on the timer's queue), false when the previous
   * handler is still running (ticks coalesce rather than overlap) or the timer was
   * cancelled. */
  bool fire();
  void runTick();
  DispatchQueue queue() const { return queue_; }

  // Arming state, guarded by the dispatcher's heap mutex.
  Duration start_{0};
  Duration interval_{0};
  // Read when a tick is planned; set from any thread without the heap mutex, so that a
  // tick handler may change it each time at the cost of one store.
  std::atomic<Duration> leeway_{Duration{0}};
  bool timeSet_ = false;
  bool resumed_ = false;
  uint64_t generation_ = 0;

 private:
  void postCancelHandler();

  SystemDispatcher& owner_;
  const DispatchQueue queue_;
  std::atomic<bool> cancelled_{false};
  std::mutex mutex_;
  std::shared_ptr<Task> handler_;
  Task cancelHandler_;
  bool inFlight_ = false;
  bool cancelHandlerIssued_ = false;
};

/* A reference held on a timer by the heap or by a queued tick. */
class TimerRef {
 public:
  TimerRef() = default;
  explicit TimerRef(SystemTimer* timer) : timer_(timer) {
    if (timer_) timer_->retain();
  }
  TimerRef(const TimerRef& other) : TimerRef(other.timer_) {}
  TimerRef(TimerRef&& other) noexcept : timer_(std::exchange(other.timer_, nullptr)) {}
  TimerRef& operator=(TimerRef other) noexcept {
    std::swap(timer_, other.timer_);
    return *this;
  }
  ~TimerRef() {
    if (timer_) timer_->release();
  }
  SystemTimer* get() const { return timer_; }
  SystemTimer* operator->() const { return timer_; }
  explicit operator bool() const { return timer_ != nullptr; }

 private:
  SystemTimer* timer_ = nullptr;
};

class SystemDispatcher final : public Dispatcher {
 public:
  void async(DispatchQueue queue, Task task) override {
    if (queue == DispatchQueue::Main)
      main_.post(std::move(task));
    else
      utility_.post(std::move(task));
  }

  void after(Duration delay, DispatchQueue queue, Task task) override {
    Entry entry;
    entry.deadline = MonotonicNow() + std::max(delay, Duration::zero());
    entry.queue = queue;
    entry.task = std::move(task);
    std::lock_guard lock(heapMutex_);
    pushLocked(std::move(entry));
  }

  TimerSource* makeTimerSource(DispatchQueue queue) override {
    return new SystemTimer(*this, queue);
  }

  Duration now() const override { return MonotonicNow(); }

  MainQueue& mainQueue() { return main_; }

  /* Arms `timer` afresh from its current settings (heap mutex held). Older heap entries
   * of the timer become stale through the generation bump. */
  void armLocked(SystemTimer& timer) {
    if (!timer.resumed_ || !timer.timeSet_ || timer.isCancelled()) return;
    Entry entry;
    entry.deadline = MonotonicNow() + std::max(timer.start_, Duration::zero());
    entry.leeway = timer.leeway_.load(std::memory_order_relaxed);
    entry.timer = TimerRef(&timer);
    entry.generation = ++timer.generation_;
    pushLocked(std::move(entry));
  }

  std::mutex heapMutex_;

 private:
  struct Entry {
    Duration deadline{0};
    Duration leeway{0};
    uint64_t sequence = 0;
    // Either a timer tick...
    TimerRef timer;
    uint64_t generation = 0;
    bool stale = false;
    // ...or a delayed task.
    DispatchQueue queue = DispatchQueue::Main;
    Task task;
  };
  /* std heap functions keep the greatest element first: "greater" is "due later". */
  static bool DueLater(const Entry& a, const Entry& b) {
    if (a.deadline != b.deadline) return a.deadline > b.deadline;
    return a.sequence > b.sequence;
  }

  void pushLocked(Entry entry) {
    std::call_once(timerThreadStarted_, [this] { std::thread([this] { runTimers(); }).detach(); });
    entry.sequence = nextSequence_++;
    // Only an entry that cannot wait until the planned wake-up needs the thread now.
    bool sooner = entry.deadline + entry.leeway < plannedWake_;
    heap_.push_back(std::move(entry));
    std::push_heap(heap_.begin(), heap_.end(), DueLater);
    if (sooner) {
      plannedWake_ = Duration::min();
      timerWake_.notify_one();
    }
  }

  Entry popLocked() {
    std::pop_heap(heap_.begin(), heap_.end(), DueLater);
    Entry entry = std::move(heap_.back());
    heap_.pop_back();
    return entry;
  }

  [[noreturn]] void runTimers() {
    NameThisThread("korvel-timer");
    std::vector<Entry> due;
    for (;;) {
      {
        std::unique_lock lock(heapMutex_);
        if (heap_.empty()) {
          plannedWake_ = Duration::max();
          timerWake_.wait(lock);
          continue;
        }
        Duration now = MonotonicNow();
        Duration wake = PlanWakeup(heap_);
        if (wake > now) {
          plannedWake_ = wake;
          timerWake_.wait_until(
              lock, std::chrono::steady_clock::time_point(
                        std::chrono::duration_cast<std::chrono::steady_clock::duration>(wake)));
          continue;
        }
        plannedWake_ = Duration::min();
        // What the plan put in this wake-up, and not what else has come due while the
        // thread was late to wake: otherwise how late the system woke it would decide
        // where the next group starts, and a periodic timer would fire at a different
        // point of its window each period, so that some of its periods ran long.
        while (!heap_.empty() && heap_.front().deadline <= wake) due.push_back(popLocked());
        // Re-arm repeating timers before their ticks run, from the nominal deadline so
        // that the period does not drift; ticks missed while late are skipped.
        for (Entry& entry : due) {
          if (!entry.timer) continue;
          SystemTimer& timer = *entry.timer.get();
          if (entry.generation != timer.generation_ || timer.isCancelled()) {
            // Dropped after the lock is released: the last reference may run the
            // handlers' destructors, which may call back into the dispatcher.
            entry.stale = true;
            continue;
          }
          if (timer.interval_ > Duration::zero()) {
            Entry next;
            next.deadline = entry.deadline + timer.interval_;
            if (next.deadline <= now) {
              auto missed = (now - entry.deadline) / timer.interval_;
              next.deadline = entry.deadline + (missed + 1) * timer.interval_;
            }
            next.leeway = timer.leeway_.load(std::memory_order_relaxed);
            next.timer = entry.timer;
            next.generation = entry.generation;
            pushLocked(std::move(next));
          }
        }
      }
      // The ticks of one wake-up run one after another as one task: one hand-over and
      // one worker woken, where a task each made both workers wake and take turns at the
      // queue's lock for every tick. Ticks do not wait for anything, so none holds up the
      // rest for long. The batch holds the timers themselves, so that a wake-up allocates
      // twice (the batch and the task carrying it) however many ticks it carries.
      std::vector<TimerRef> ticks;
      for (Entry& entry : due) {
        if (entry.timer) {
          if (entry.stale || !entry.timer->fire()) continue;
          const DispatchQueue queue = entry.timer->queue();
          if (queue == DispatchQueue::Utility) {
            if (ticks.empty()) ticks.reserve(due.size());
            ticks.push_back(std::move(entry.timer));
          } else {
            async(queue, [ref = std::move(entry.timer)] { ref->runTick(); });
          }
        } else if (entry.task) {
          async(entry.queue, std::move(entry.task));
        }
      }
      if (!ticks.empty()) {
        utility_.post([batch = std::move(ticks)] {
          WakeupScope wakeup;
          for (const TimerRef& timer : batch) timer->runTick();
        });
      }
      due.clear();
    }
  }

  MainQueue main_;
  UtilityQueue utility_;

  std::once_flag timerThreadStarted_;
  std::condition_variable timerWake_;
  std::vector<Entry> heap_;
  uint64_t nextSequence_ = 0;
  Duration plannedWake_ = Duration::max();  // when the timer thread means to wake next
};

void SystemTimer::setTimer(Duration start, Duration interval, Duration leeway) {
  std::lock_guard lock(owner_.heapMutex_);
  start_ = start;
  interval_ = interval;
  setLeeway(leeway);
  timeSet_ = true;
  owner_.armLocked(*this);
}

void SystemTimer::resume() {
  std::lock_guard lock(owner_.heapMutex_);
  if (resumed_) return;
  resumed_ = true;
  owner_.armLocked(*this);
}

void SystemTimer::cancel() {
  std::lock_guard lock(mutex_);
  if (cancelled_.exchange(true, std::memory_order_acq_rel)) return;
  // With a handler under way, the cancel handler follows it (see runTick).
  if (!inFlight_) postCancelHandler();
}

bool SystemTimer::fire() {
  std::lock_guard lock(mutex_);
  if (isCancelled() || inFlight_) return false;
  inFlight_ = true;
  return true;
}

void SystemTimer::runTick() {
  std::shared_ptr<Task> handler;
  {
    std::lock_guard lock(mutex_);
    if (!isCancelled()) handler = handler_;
  }
  if (handler && *handler) (*handler)();
  Task cancelHandler;
  {
    std::lock_guard lock(mutex_);
    inFlight_ = false;
    if (isCancelled() && !cancelHandlerIssued_) {
      cancelHandlerIssued_ = true;
      cancelHandler = std::move(cancelHandler_);
    }
  }
  // Already on the timer's queue.
  if (cancelHandler) cancelHandler();
}

/* mutex_ held, no handler in flight. */
void SystemTimer::postCancelHandler() {
  if (cancelHandlerIssued_) return;
  cancelHandlerIssued_ = true;
  Task cancelHandler = std::move(cancelHandler_);
  if (cancelHandler) owner_.async(queue_, std::move(cancelHandler));
}

SystemDispatcher& TheSystemDispatcher() {
  static SystemDispatcher* const dispatcher = new SystemDispatcher;
  return *dispatcher;
}

std::atomic<Dispatcher*> gTestDispatcher{nullptr};

}  // namespace

namespace {
thread_local uint64_t tCurrentWakeup = 0;
std::atomic<uint64_t> gWakeups{0};
}  // namespace

uint64_t CurrentWakeup() { return tCurrentWakeup; }

WakeupScope::WakeupScope() : outer_(tCurrentWakeup) {
  tCurrentWakeup = gWakeups.fetch_add(1, std::memory_order_relaxed) + 1;
}

WakeupScope::~WakeupScope() { tCurrentWakeup = outer_; }

Dispatcher& CurrentDispatcher() {
  if (Dispatcher* installed = gTestDispatcher.load(std::memory_order_acquire)) return *installed;
  return TheSystemDispatcher();
}

void SetDispatcherForTesting(Dispatcher* dispatcher) {
  gTestDispatcher.store(dispatcher, std::memory_order_release);
}

}  // namespace korvel::platform

extern "C" KORVEL_EXPORT int Korvel_MainQueueFD(void) {
  try {
    return korvel::platform::TheSystemDispatcher().mainQueue().fd();
  } catch (...) {
    return -1;  // out of memory on the first call: no queue to watch
  }
}

extern "C" KORVEL_EXPORT void Korvel_RunMainQueue(void) {
  try {
    korvel::platform::TheSystemDispatcher().mainQueue().runDue();
  } catch (...) {
    // Work that ran out of memory is dropped; what is still due runs on the next call.
  }
}
