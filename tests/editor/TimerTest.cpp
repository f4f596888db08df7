// The refresh timer: one per view while it is in a window, none after.
#include <gtest/gtest.h>

#include "editor/KorvelViewFactory.h"
#include "link/SharedPaths.h"
#include "tests/editor/EditorTestSupport.h"

namespace korvel::test {
namespace {

using namespace std::chrono_literals;
using editor::KorvelViewFactory;

// A view without an instance polls the connection file of UID 0, kept private here.
class EditorTimer : public ::testing::Test {
 protected:
  EditorIsolation isolation;
  VirtualDispatchScope dispatch;
};

TEST_F(EditorTimer, HostTimerRunsWhileInAWindowAndNeverTwice) {
  RecordingWindow first, second;
  auto view = KorvelViewFactory::uiViewForAudioUnit(nullptr, 0, 0);
  editor::EditorViewProbe probe{*view};
  EXPECT_FALSE(probe.hasTimer());

  view->viewDidMoveToWindow(&first.services());
  ASSERT_EQ(first.liveTimers.size(), 1u);
  EXPECT_DOUBLE_EQ(first.liveTimers.begin()->second.interval, 0.1);
  first.fireTimers();
  EXPECT_EQ(first.redraws, 1);

  // Moved again, and then to another window: the old timer always stops first.
  view->viewDidMoveToWindow(&first.services());
  EXPECT_EQ(first.liveTimers.size(), 1u);
  EXPECT_EQ(first.timersStarted, 2);
  view->viewDidMoveToWindow(&second.services());
  EXPECT_TRUE(first.liveTimers.empty());
  EXPECT_EQ(second.liveTimers.size(), 1u);
  second.fireTimers();
  EXPECT_EQ(second.redraws, 1);
  EXPECT_EQ(first.redraws, 1);  // redraws go to the window the view is in

  view->viewDidMoveToWindow(nullptr);
  EXPECT_TRUE(second.liveTimers.empty());
  EXPECT_FALSE(probe.hasTimer());

  view->viewDidMoveToWindow(&second.services());
  view.reset();  // destroyed while in the window
  EXPECT_TRUE(second.liveTimers.empty());
  EXPECT_EQ(second.timersStarted, second.timersStopped);
}

TEST_F(EditorTimer, MainQueueTimerTicksTenTimesASecondWhileInAWindow) {
  RecordingWindow window(/*hostTimers=*/false);
  auto view = KorvelViewFactory::uiViewForAudioUnit(nullptr, 0, 0);
  dispatch.advance(1s);
  EXPECT_EQ(window.redraws, 0);  // not in a window yet
  view->viewDidMoveToWindow(&window.services());
  dispatch.advance(1s);
  EXPECT_EQ(window.redraws, 10);
  view->viewDidMoveToWindow(nullptr);
  dispatch.advance(1s);
  EXPECT_EQ(window.redraws, 10);
  view->viewDidMoveToWindow(&window.services());
  view->viewDidMoveToWindow(&window.services());  // moved twice: still one timer
  dispatch.advance(1s);
  EXPECT_EQ(window.redraws, 20);

  // Each tick polls the connection file: a link written by the companion shows.
  WriteFile(link::ConnectionFilePath(0), R"({"status":"connected","trackName":"Brass"})");
  dispatch.advance(100ms);
  EXPECT_TRUE(view->isConnected());
  EXPECT_EQ(view->trackName(), "Brass");

  view.reset();  // the timer must not fire into the destroyed view
  dispatch.advance(1s);
  EXPECT_EQ(window.redraws, 21);
}

}  // namespace
}  // namespace korvel::test
