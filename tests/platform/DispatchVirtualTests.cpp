// The virtual-time dispatcher: the clock the other suites' timer tests stand on.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/VirtualDispatcher.h"

namespace korvel::platform {
namespace {

using namespace std::chrono_literals;

struct Event {
  std::string what;
  Duration at;
  bool operator==(const Event&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Event& e) {
  return out << e.what << "@" << std::chrono::duration_cast<std::chrono::milliseconds>(e.at).count() << "ms";
}

/* Owns one reference on a timer for the test's scope. */
struct TimerHandle {
  explicit TimerHandle(TimerSource* t) : timer(t) {}
  ~TimerHandle() { timer->release(); }
  TimerSource* operator->() const { return timer; }
  TimerSource* timer;
};

TEST(VirtualDispatcher, RunsTasksAndTicksInTimeOrderAtTheirDueTimes) {
  VirtualDispatcher d;
  std::vector<Event> log;
  auto record = [&](std::string what) { return [&, what] { log.push_back({what, d.now()}); }; };

  TimerHandle fast(d.makeTimerSource(DispatchQueue::Utility));
  fast->setTimer(0ms, 100ms, 10ms);
  fast->setEventHandler(record("fast"));
  fast->resume();
  TimerHandle slow(d.makeTimerSource(DispatchQueue::Main));
  slow->setTimer(50ms, 200ms, 0ms);
  slow->setEventHandler(record("slow"));
  slow->resume();
  d.after(300ms, DispatchQueue::Main, record("after300"));
  d.async(DispatchQueue::Main, record("async1"));
  d.async(DispatchQueue::Utility, record("async2"));

  d.advance(300ms);

  // Same due time: posting order. The timer was armed before the tasks were posted; its
  // 300 ms tick was scheduled (by the 200 ms one) after the delayed task.
  std::vector<Event> expected = {{"fast", 0ms},   {"async1", 0ms},  {"async2", 0ms}, {"slow", 50ms},
                                 {"fast", 100ms}, {"fast", 200ms},  {"slow", 250ms}, {"after300", 300ms},
                                 {"fast", 300ms}};
  EXPECT_EQ(log, expected);
  EXPECT_EQ(d.now(), 300ms);

  // A large step still runs every tick on the way, each at its own time.
  log.clear();
  d.advance(1s);
  int fastTicks = 0;
  Duration last = 300ms;
  for (const Event& e : log) {
    EXPECT_GE(e.at, last);
    last = e.at;
    if (e.what == "fast") {
      ++fastTicks;
      EXPECT_EQ(e.at.count() % std::chrono::nanoseconds(100ms).count(), 0) << e;
    }
  }
  EXPECT_EQ(fastTicks, 10);
  EXPECT_EQ(d.now(), 1300ms);
}

TEST(VirtualDispatcher, OneShotAndRearmedTimers) {
  VirtualDispatcher d;
  std::vector<Event> log;
  TimerHandle once(d.makeTimerSource(DispatchQueue::Main));
  once->setTimer(30ms, 0ms, 0ms);
  once->setEventHandler([&] { log.push_back({"once", d.now()}); });
  TimerHandle rearmed(d.makeTimerSource(DispatchQueue::Main));
  rearmed->setTimer(10ms, 100ms, 0ms);
  rearmed->setEventHandler([&] { log.push_back({"rearmed", d.now()}); });

  d.advance(50ms);
  EXPECT_TRUE(log.empty()) << "suspended timers never fire";

  once->resume();
  rearmed->resume();
  d.advance(20ms);  // rearmed ticks at 60
  rearmed->setTimer(5ms, 20ms, 0ms);  // from 70: ticks at 75, 95, ...; the 160 tick is gone
  d.advance(30ms);
  d.advance(1s);  // the one-shot does not repeat

  ASSERT_GE(log.size(), 4u);
  EXPECT_EQ(log[0], (Event{"rearmed", 60ms}));
  EXPECT_EQ(log[1], (Event{"rearmed", 75ms}));
  EXPECT_EQ(log[2], (Event{"once", 80ms}));
  EXPECT_EQ(log[3], (Event{"rearmed", 95ms}));
  int onceCount = 0;
  for (const Event& e : log) {
    if (e.what == "once") ++onceCount;
    if (e.what == "rearmed" && e.at >= 75ms) {
      EXPECT_EQ((e.at - 75ms).count() % std::chrono::nanoseconds(20ms).count(), 0) << e;
    }
  }
  EXPECT_EQ(onceCount, 1);
}

TEST(VirtualDispatcher, TicksThatComeDueWhileTheHandlerRunsAreSkipped) {
  VirtualDispatcher d;
  std::vector<Duration> ticks;
  int depth = 0, maxDepth = 0;
  TimerHandle timer(d.makeTimerSource(DispatchQueue::Utility));
  timer->setTimer(0ms, 100ms, 10ms);
  timer->setEventHandler([&] {
    maxDepth = std::max(maxDepth, ++depth);
    ticks.push_back(d.now());
    if (ticks.size() == 1) d.advance(250ms);  // a handler that takes 250 ms
    --depth;
  });
  timer->resume();

  d.advance(400ms);

  EXPECT_EQ(maxDepth, 1);
  EXPECT_EQ(ticks, (std::vector<Duration>{0ms, 300ms, 400ms}));
}

TEST(VirtualDispatcher, CancelStopsTicksAndRunsTheCancelHandlerOnceAfterTheHandlerUnderWay) {
  VirtualDispatcher d;
  std::vector<Event> log;
  TimerHandle timer(d.makeTimerSource(DispatchQueue::Utility));
  timer->setTimer(0ms, 100ms, 0ms);
  timer->setCancelHandler([&] { log.push_back({"cancelled", d.now()}); });
  timer->setEventHandler([&] {
    log.push_back({"tick", d.now()});
    if (d.now() == 200ms) {
      // While this handler "runs" for 50 ms, another task cancels the timer.
      d.after(20ms, DispatchQueue::Main, [&] {
        timer->cancel();
        timer->cancel();
        log.push_back({"cancel called", d.now()});
      });
      d.advance(50ms);
      log.push_back({"tick returns", d.now()});
    }
  });
  timer->resume();
  EXPECT_EQ(d.pendingCount(), 1u);

  d.advance(1s);

  std::vector<Event> expected = {{"tick", 0ms},           {"tick", 100ms},        {"tick", 200ms},
                                 {"cancel called", 220ms}, {"tick returns", 250ms}, {"cancelled", 250ms}};
  EXPECT_EQ(log, expected);
  EXPECT_TRUE(timer->isCancelled());
  EXPECT_EQ(d.pendingCount(), 0u);
}

TEST(VirtualDispatcher, CancelHandlerOfAnIdleTimerRunsOnItsQueueNotInsideCancel) {
  VirtualDispatcher d;
  int cancelled = 0, ticks = 0;
  TimerHandle timer(d.makeTimerSource(DispatchQueue::Main));
  timer->setTimer(100ms, 100ms, 0ms);
  timer->setEventHandler([&] { ++ticks; });
  timer->setCancelHandler([&] { ++cancelled; });
  timer->resume();
  d.advance(150ms);
  timer->cancel();
  EXPECT_EQ(cancelled, 0);
  d.runDue();
  EXPECT_EQ(cancelled, 1);
  d.advance(1s);
  timer->cancel();
  d.runDue();
  EXPECT_EQ(cancelled, 1);
  EXPECT_EQ(ticks, 1);
}

TEST(VirtualDispatcher, HandlersMayArmCancelAndPostReentrantly) {
  VirtualDispatcher d;
  std::vector<Event> log;
  TimerSource* inner = nullptr;
  int innerTicks = 0;
  d.after(100ms, DispatchQueue::Main, [&] {
    inner = d.makeTimerSource(DispatchQueue::Utility);
    inner->setTimer(10ms, 10ms, 0ms);
    inner->setEventHandler([&] {
      log.push_back({"inner", d.now()});
      if (++innerTicks == 3) {
        inner->cancel();
        d.async(DispatchQueue::Main, [&] { log.push_back({"posted by tick", d.now()}); });
      }
    });
    inner->setCancelHandler([&] {
      log.push_back({"inner cancelled", d.now()});
      d.after(5ms, DispatchQueue::Main, [&] { log.push_back({"after cancel", d.now()}); });
    });
    inner->resume();
  });

  d.advance(200ms);
  ASSERT_NE(inner, nullptr);
  inner->release();

  std::vector<Event> expected = {{"inner", 110ms},          {"inner", 120ms},
                                 {"inner", 130ms},          {"inner cancelled", 130ms},
                                 {"posted by tick", 130ms}, {"after cancel", 135ms}};
  EXPECT_EQ(log, expected);
  EXPECT_EQ(d.pendingCount(), 0u);
}

TEST(VirtualDispatcher, WorkPostedFromOtherThreadsRunsOnTheDrainingThread) {
  VirtualDispatcher d;
  std::vector<std::thread::id> ranOn;
  std::vector<std::thread> posters;
  for (int i = 0; i < 4; ++i)
    posters.emplace_back([&] {
      for (int j = 0; j < 50; ++j) d.async(DispatchQueue::Main, [&] { ranOn.push_back(std::this_thread::get_id()); });
      d.after(10ms, DispatchQueue::Utility, [&] { ranOn.push_back(std::this_thread::get_id()); });
    });
  for (auto& t : posters) t.join();

  EXPECT_TRUE(ranOn.empty());
  EXPECT_EQ(d.pendingCount(), 204u);
  d.runDue();
  EXPECT_EQ(ranOn.size(), 200u);
  d.advance(10ms);
  ASSERT_EQ(ranOn.size(), 204u);
  for (auto id : ranOn) EXPECT_EQ(id, std::this_thread::get_id());
}

}  // namespace
}  // namespace korvel::platform
