// The system dispatcher: real threads, real clock. Waits are on conditions with deadlines.
#include <dirent.h>
#include <poll.h>

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/Dispatch.h"
#include "tests/support/TestSupport.h"

namespace korvel::platform {
namespace {

using namespace std::chrono_literals;
using korvel::test::WaitUntil;

bool MainQueueReadable(int timeoutMs = 0) {
  pollfd p{Korvel_MainQueueFD(), POLLIN, 0};
  return poll(&p, 1, timeoutMs) == 1 && (p.revents & POLLIN);
}

// Calls `visit` with the /proc/self/task/<tid> path of every thread of this process.
template <typename Visit>
void ForEachThread(Visit visit) {
  DIR* dir = opendir("/proc/self/task");
  while (dirent* entry = readdir(dir))
    if (entry->d_name[0] != '.') visit(std::string("/proc/self/task/") + entry->d_name);
  closedir(dir);
}

// A gate a handler blocks on until the test opens it (with a deadline, so that a broken
// dispatcher fails the test instead of hanging it).
struct Gate {
  std::promise<void> opened;
  std::shared_future<void> waited = opened.get_future().share();
  void open() { opened.set_value(); }
  void wait() const { (void)waited.wait_for(10s); }
};

TEST(SystemDispatcher, MainQueueFdIsReadableExactlyWhileWorkIsDueAndDelayedWorkRunsThere) {
  Dispatcher& d = CurrentDispatcher();
  Korvel_RunMainQueue();
  ASSERT_GE(Korvel_MainQueueFD(), 0);
  EXPECT_FALSE(MainQueueReadable());

  std::vector<int> ran;
  std::thread::id ranOn;
  d.async(DispatchQueue::Main, [&] {
    ran.push_back(1);
    ranOn = std::this_thread::get_id();
    d.async(DispatchQueue::Main, [&] { ran.push_back(3); });
  });
  // Posted from another thread too: nothing is lost.
  std::thread([&] { d.async(DispatchQueue::Main, [&] { ran.push_back(2); }); }).join();
  EXPECT_TRUE(MainQueueReadable());
  EXPECT_TRUE(ran.empty()) << "main-queue work waits for the host";

  Korvel_RunMainQueue();
  EXPECT_EQ(ran, (std::vector<int>{1, 2}));
  EXPECT_EQ(ranOn, std::this_thread::get_id());
  EXPECT_TRUE(MainQueueReadable()) << "the task posted while running waits for the next call";
  Korvel_RunMainQueue();
  EXPECT_EQ(ran, (std::vector<int>{1, 2, 3}));
  EXPECT_FALSE(MainQueueReadable());

  // Delayed tasks and main-queue timers run on the host's thread when due.
  Duration posted = d.now(), ranAt{0};
  std::atomic<int> ticks{0};
  std::thread::id tickedOn;
  d.after(30ms, DispatchQueue::Main, [&] { ranAt = d.now(); });
  TimerSource* timer = d.makeTimerSource(DispatchQueue::Main);
  timer->setTimer(0ms, 5ms, 1ms);
  timer->setEventHandler([&] {
    tickedOn = std::this_thread::get_id();
    ++ticks;
  });
  timer->resume();
  EXPECT_TRUE(WaitUntil([&] {
    if (MainQueueReadable()) Korvel_RunMainQueue();
    return ticks >= 3 && ranAt != Duration{0};
  }));
  EXPECT_GE(ranAt - posted, 30ms);
  EXPECT_EQ(tickedOn, std::this_thread::get_id());
  timer->cancel();
  timer->release();
  Korvel_RunMainQueue();
}

// A handler held up while ticks come due: no second call runs beside it, ticks resume
// once it returns, and a cancel made while it runs waits for it before the cancel handler.
TEST(SystemDispatcher, TimerHandlersNeverOverlapAndCancelWaitsForTheOneUnderWay) {
  Dispatcher& d = CurrentDispatcher();
  std::mutex logMutex;
  std::vector<std::string> log;
  auto record = [&](const char* what) {
    std::lock_guard lock(logMutex);
    log.push_back(what);
  };
  std::atomic<int> running{0}, maxRunning{0}, calls{0}, holdAtCall{1};
  Gate first, last;
  std::atomic<bool> held{false}, cancelRan{false};
  std::thread::id cancelThread;
  TimerSource* timer = d.makeTimerSource(DispatchQueue::Utility);
  timer->setTimer(0ms, 1ms, 0ms);
  timer->setEventHandler([&] {
    int now = ++running, seen = maxRunning.load();
    while (now > seen && !maxRunning.compare_exchange_weak(seen, now)) {
    }
    int call = ++calls;
    if (call == holdAtCall) {
      record("held");
      held = true;
      (call == 1 ? first : last).wait();
      record("released");
    }
    --running;
  });
  timer->setCancelHandler([&] {
    record("cancel handler");
    cancelThread = std::this_thread::get_id();
    cancelRan = true;
  });
  timer->resume();
  ASSERT_TRUE(WaitUntil([&] { return held.load(); }));
  // Many ticks come due while the first handler holds on; the other worker is free.
  Duration blockedSince = d.now();
  ASSERT_TRUE(WaitUntil([&] { return d.now() - blockedSince > 30ms; }));
  EXPECT_EQ(calls.load(), 1);
  held = false;
  holdAtCall = 5;
  first.open();
  ASSERT_TRUE(WaitUntil([&] { return held.load(); }));

  timer->cancel();
  timer->cancel();
  EXPECT_TRUE(timer->isCancelled());
  // Were the cancel handler wrongly posted now, the idle worker would run it at once.
  EXPECT_FALSE(WaitUntil([&] { return cancelRan.load(); }, 100ms));
  last.open();
  ASSERT_TRUE(WaitUntil([&] { return cancelRan.load(); }));
  timer->release();

  std::lock_guard lock(logMutex);
  EXPECT_EQ(log,
            (std::vector<std::string>{"held", "released", "held", "released", "cancel handler"}));
  EXPECT_EQ(calls.load(), 5) << "no tick after the cancel";
  EXPECT_EQ(maxRunning.load(), 1);
  EXPECT_NE(cancelThread, std::this_thread::get_id());
}

/* Times the timer thread has gone to sleep (voluntary context switches), found by name. */
long TimerThreadSleeps() {
  long sleeps = -1;
  ForEachThread([&](const std::string& task) {
    if (korvel::test::ReadFile(task + "/comm") != "korvel-timer\n") return;
    std::string status = korvel::test::ReadFile(task + "/status");
    auto at = status.find("\nvoluntary_ctxt_switches:");
    if (at != std::string::npos) sleeps = std::stol(status.substr(status.find(':', at) + 1));
  });
  return sleeps;
}

// 200 timers of 100 ms whose deadlines are spread evenly over the period: no thread per
// timer, and without grouping every tick would cost the timer thread a wake-up of its own.
TEST(SystemDispatcher, ManyTimersShareThreadsAndWakeUps) {
  Dispatcher& d = CurrentDispatcher();
  // Start whatever the dispatcher starts lazily before counting.
  std::atomic<bool> warm{false};
  d.after(1ms, DispatchQueue::Utility, [&] { warm = true; });
  ASSERT_TRUE(WaitUntil([&] { return warm.load(); }));
  int threadsBefore = 0;
  ForEachThread([&](const std::string&) { ++threadsBefore; });

  constexpr int kTimers = 200;
  std::atomic<int> ticks{0}, cancelled{0};
  std::vector<TimerSource*> timers;
  for (int i = 0; i < kTimers; ++i) {
    TimerSource* t = d.makeTimerSource(DispatchQueue::Utility);
    t->setTimer(i * 500us, 100ms, 10ms);
    t->setEventHandler([&ticks] { ++ticks; });
    t->setCancelHandler([&cancelled] { ++cancelled; });
    t->resume();
    timers.push_back(t);
  }
  ASSERT_TRUE(WaitUntil([&] { return ticks >= kTimers; }));
  long sleepsBefore = TimerThreadSleeps();
  int ticksBefore = ticks;
  ASSERT_TRUE(WaitUntil([&] { return ticks >= ticksBefore + 4 * kTimers; }));
  long sleeps = TimerThreadSleeps() - sleepsBefore;
  int fired = ticks - ticksBefore, threads = 0;
  ForEachThread([&](const std::string&) { ++threads; });
  EXPECT_EQ(threads, threadsBefore);
  ASSERT_GE(sleepsBefore, 0) << "timer thread not found";
  EXPECT_LT(sleeps * 4, fired) << sleeps << " wake-ups for " << fired << " ticks";

  for (TimerSource* t : timers) t->cancel();
  EXPECT_TRUE(WaitUntil([&] { return cancelled == kTimers; }));
  for (TimerSource* t : timers) t->release();
}

TEST(DispatchOnce, RunsOnceWhileRacingCallersWaitForItAndAgainAfterAThrow) {
  static OnceToken token;
  std::atomic<int> runs{0}, sawUnfinished{0};
  std::atomic<bool> finished{false};
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i)
    threads.emplace_back([&] {
      DispatchOnce(token, [&] {
        ++runs;
        std::this_thread::yield();
        finished = true;
      });
      if (!finished) ++sawUnfinished;
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(runs.load(), 1);
  EXPECT_EQ(sawUnfinished.load(), 0);

  OnceToken retried;
  EXPECT_THROW(DispatchOnce(retried, [] { throw 1; }), int);
  int value = 0;
  DispatchOnce(retried, [&] { value = 7; });
  EXPECT_EQ(value, 7);
}

}  // namespace
}  // namespace korvel::platform
