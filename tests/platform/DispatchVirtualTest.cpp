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
  return out << e.what << "@" << std::chrono::duration_cast<std::chrono::milliseconds>(e.at).count()
             << "ms";
}

// Owns a timer for the test's scope, armed on `queue` and recording its ticks in `log`.
struct Timer {
  Timer(VirtualDispatcher& d, std::vector<Event>& log, const char* what,
        DispatchQueue queue = DispatchQueue::Main)
      : timer(d.makeTimerSource(queue)) {
    timer->setEventHandler([&d, &log, what] { log.push_back({what, d.now()}); });
  }
  ~Timer() { timer->release(); }
  TimerSource* operator->() const { return timer; }
  TimerSource* timer;
};

TEST(VirtualDispatcher, RunsTasksAndTicksInTimeOrderAtTheirDueTimes) {
  VirtualDispatcher d;
  std::vector<Event> log;
  auto record = [&](std::string what) { return [&, what] { log.push_back({what, d.now()}); }; };
  Timer fast(d, log, "fast", DispatchQueue::Utility), slow(d, log, "slow");
  fast->setTimer(0ms, 100ms, 10ms);
  fast->resume();
  slow->setTimer(50ms, 200ms, 0ms);
  slow->resume();
  d.after(300ms, DispatchQueue::Main, record("after300"));
  d.async(DispatchQueue::Main, record("async1"));
  d.async(DispatchQueue::Utility, record("async2"));

  d.advance(300ms);

  // Same due time: posting order. The timer was armed before the tasks were posted; its
  // 300 ms tick was scheduled (by the 200 ms one) after the delayed task.
  std::vector<Event> expected = {{"fast", 0ms},   {"async1", 0ms},     {"async2", 0ms},
                                 {"slow", 50ms},  {"fast", 100ms},     {"fast", 200ms},
                                 {"slow", 250ms}, {"after300", 300ms}, {"fast", 300ms}};
  EXPECT_EQ(log, expected);

  // A large step still runs every tick on the way, each at its own time.
  log.clear();
  d.advance(1s);
  std::vector<Event> fastTicks;
  for (const Event& e : log)
    if (e.what == "fast") fastTicks.push_back(e);
  ASSERT_EQ(fastTicks.size(), 10u);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(fastTicks[i].at, 400ms + i * 100ms);
  EXPECT_EQ(log.back(), (Event{"fast", 1300ms}));
  EXPECT_EQ(d.now(), 1300ms);
}

TEST(VirtualDispatcher, TicksWhoseLeewayWindowsOverlapShareWakeUpsAndNoneComesEarly) {
  struct Case {
    int timers;
    Duration spacing;  // between the first ticks of neighbouring timers
    int ticksPerWakeUpAtLeast;
    bool promptMiddle = false;  // the middle timer gives up its leeway at its first tick
  };
  // A prompt timer splits the wake-up of its cluster in two at most: none can come early.
  for (const Case& c : {Case{50, 200us, 50}, Case{100, 1ms, 9}, Case{500, 200us, 45},
                        Case{3, 20ms, 1}, Case{50, 200us, 25, true}}) {
    VirtualDispatcher d;
    std::vector<TimerSource*> timers;
    std::vector<Duration> wakeUps;
    int ticks = 0;
    Duration latest{0};
    for (int i = 0; i < c.timers; ++i) {
      TimerSource* t = d.makeTimerSource(DispatchQueue::Utility);
      const Duration first = i * c.spacing;
      t->setTimer(first, 100ms, 10ms);
      t->setEventHandler(
          [&, t, first, prompt = c.promptMiddle && i == c.timers / 2, n = 0]() mutable {
            const Duration deadline = first + n * 100ms;
            // The tick after the first was planned already; from the one after, a prompt timer
            // ticks at its deadlines, in its old phase.
            if (prompt && n == 0) t->setLeeway(0ms);
            if (prompt && n >= 2) {
              EXPECT_EQ(d.now(), deadline) << c.timers << " timers, tick " << n;
            }
            ++n;
            EXPECT_GE(d.now(), deadline) << "early";
            latest = std::max(latest, d.now() - deadline);
            if (wakeUps.empty() || wakeUps.back() != d.now()) wakeUps.push_back(d.now());
            ++ticks;
          });
      t->resume();
      timers.push_back(t);
    }
    d.advance(1s);
    EXPECT_GE(ticks, 9 * c.timers) << c.timers;
    EXPECT_LE(latest, 10ms) << c.timers;
    EXPECT_GE(ticks, c.ticksPerWakeUpAtLeast * int(wakeUps.size()))
        << c.timers << " timers, " << wakeUps.size() << " wake-ups";
    if (c.ticksPerWakeUpAtLeast == 1) {
      EXPECT_EQ(latest, 0ms) << "a timer on its own ticks on time";
    }
    for (TimerSource* t : timers) t->release();
  }
}

TEST(VirtualDispatcher, OneShotAndRearmedTimers) {
  VirtualDispatcher d;
  std::vector<Event> log;
  Timer once(d, log, "once"), rearmed(d, log, "rearmed");
  once->setTimer(30ms, 0ms, 0ms);
  rearmed->setTimer(10ms, 100ms, 0ms);
  d.advance(50ms);
  EXPECT_TRUE(log.empty()) << "suspended timers never fire";

  once->resume();
  rearmed->resume();
  d.advance(20ms);                    // rearmed ticks at 60
  rearmed->setTimer(5ms, 20ms, 0ms);  // from 70: ticks at 75, 95, ...; the 160 tick is gone
  d.advance(40ms);
  d.advance(1s);  // the one-shot does not repeat

  std::vector<Event> expected = {
      {"rearmed", 60ms}, {"rearmed", 75ms}, {"once", 80ms}, {"rearmed", 95ms}};
  for (Duration at = 115ms; at <= 1110ms; at += 20ms) expected.push_back({"rearmed", at});
  EXPECT_EQ(log, expected);
}

TEST(VirtualDispatcher, TicksThatComeDueWhileTheHandlerRunsAreSkipped) {
  VirtualDispatcher d;
  std::vector<Duration> ticks;
  std::vector<Event> unused;
  int depth = 0, maxDepth = 0;
  Timer timer(d, unused, "", DispatchQueue::Utility);
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
  Timer timer(d, log, "", DispatchQueue::Utility);
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

  std::vector<Event> expected = {{"tick", 0ms},           {"tick", 100ms},
                                 {"tick", 200ms},         {"cancel called", 220ms},
                                 {"tick returns", 250ms}, {"cancelled", 250ms}};
  EXPECT_EQ(log, expected);
  EXPECT_TRUE(timer->isCancelled());
  EXPECT_EQ(d.pendingCount(), 0u);
}

TEST(VirtualDispatcher, CancelHandlerOfAnIdleTimerRunsOnItsQueueNotInsideCancel) {
  VirtualDispatcher d;
  std::vector<Event> log;
  Timer timer(d, log, "tick");
  timer->setTimer(100ms, 100ms, 0ms);
  timer->setCancelHandler([&] { log.push_back({"cancelled", d.now()}); });
  timer->resume();
  d.advance(150ms);
  timer->cancel();
  EXPECT_EQ(log.size(), 1u) << "not inside cancel()";
  d.advance(1s);
  timer->cancel();
  d.runDue();
  EXPECT_EQ(log, (std::vector<Event>{{"tick", 100ms}, {"cancelled", 150ms}}));
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
      for (int j = 0; j < 50; ++j)
        d.async(DispatchQueue::Main, [&] { ranOn.push_back(std::this_thread::get_id()); });
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
