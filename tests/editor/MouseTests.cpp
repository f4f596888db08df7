// Clicks: the copy area, the "Disconnect" label and the connect button, at their edges.
#include <gtest/gtest.h>

#include "editor/EditorLayout.h"
#include "editor/PluginVersion.h"
#include "link/SharedPaths.h"
#include "platform/Bundle.h"
#include "tests/editor/EditorTestSupport.h"
#include "tests/editor/PangoReference.h"
#include "tests/support/TestSupport.h"

namespace korvel::test {
namespace {

using editor::EditorViewProbe;
using editor::KorvelEditorView;
using editor::Rect;

constexpr double W = 340;
constexpr double H = 500;

class EditorClicks : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::SetBundlePathForTesting(std::string("/nonexistent/Korvel.component"));
    editor::ResetPluginVersionForTesting();
    view.viewDidMoveToWindow(&window.services());
  }
  void TearDown() override {
    platform::SetBundlePathForTesting(std::nullopt);
    editor::ResetPluginVersionForTesting();
  }
  void link() {
    probe.isConnected() = true;
    probe.trackName() = "Strings";
    probe.articulationNames() = {"Legato"};
    probe.articulationNotes() = {24};
  }
  // The "Disconnect" rectangle from Pango's own widths of the two header texts.
  Rect disconnectArea() {
    char id[32];
    std::snprintf(id, sizeof id, "%08X v?", probe.uniqueID());
    const double w1 = MeasureWithPango(id, "Monospace", PANGO_WEIGHT_NORMAL, 9).logical.width;
    const double w2 = MeasureWithPango("Disconnect", "Sans", PANGO_WEIGHT_NORMAL, 10).logical.width;
    return Rect{W - 8 - w1 - 14 - w2 - 6, 0, w2 + 12, 32};
  }

  RecordingWindow window;
  KorvelEditorView view{Rect{0, 0, W, H}, nullptr};
  EditorViewProbe probe{view};
};

TEST_F(EditorClicks, CopyAreaIsTheHeadersLast120PointsEdgesExcluded) {
  probe.uniqueID() = 0xBEEF;
  view.mouseDown(W - 120, 10);
  view.mouseDown(W - 50, 32);
  EXPECT_TRUE(window.clipboard.empty());
  view.mouseDown(W - 119, 10);
  view.mouseDown(W - 1, 31.9);
  ASSERT_EQ(window.clipboard.size(), 2u);
  EXPECT_EQ(window.clipboard[0], "0000BEEF v?");
  EXPECT_EQ(window.redraws, 0);

  link();  // linked or not
  view.mouseDown(W - 0.5, 0);
  ASSERT_EQ(window.clipboard.size(), 3u);
  EXPECT_TRUE(view.isConnected());
}

TEST_F(EditorClicks, DisconnectAreaReachesSixPointsPastTheLabelAndTheWholeHeader) {
  probe.uniqueID() = 0x12345678;
  const Rect area = disconnectArea();
  // The part right of W - 120 belongs to the copy area.
  ASSERT_GT(area.right(), W - 120);
  const double inside[][2] = {{area.x, 0}, {area.x, 31.99}, {W - 120, 16}, {area.x + 3, 2}};
  for (const auto& p : inside) {
    link();
    view.mouseDown(p[0], p[1]);
    EXPECT_FALSE(view.isConnected()) << p[0] << "," << p[1];
    EXPECT_EQ(view.trackName(), "");
  }
  EXPECT_EQ(window.redraws, 4);
  EXPECT_TRUE(window.clipboard.empty());
  // Articulations stay until the connection file says otherwise.
  EXPECT_EQ(view.articulationNames().size(), 1u);

  const double outside[][2] = {{area.x - 0.01, 10}, {area.x + 3, 32}, {20, 10}, {area.x + 3, 200}};
  for (const auto& p : outside) {
    link();
    view.mouseDown(p[0], p[1]);
    EXPECT_TRUE(view.isConnected()) << p[0] << "," << p[1];
    EXPECT_EQ(view.trackName(), "Strings");
  }
  view.mouseDown(W - 119.99, 10);
  EXPECT_TRUE(view.isConnected());
  EXPECT_EQ(window.clipboard.size(), 1u);
  EXPECT_EQ(window.redraws, 4);
}

TEST_F(EditorClicks, ConnectButtonWithoutInstanceDoesNothing) {
  const Rect button{W / 2 - 110, (H - 33) / 2 + 78, 220, 34};
  view.mouseDown(button.x + 1, button.y + 1);
  EXPECT_FALSE(view.isConnected());
  EXPECT_EQ(window.redraws, 0);
  EXPECT_TRUE(window.clipboard.empty());
}

class EditorClicksOnInstance : public EditorClicks {
 protected:
  void SetUp() override {
    EditorClicks::SetUp();
    link::SetSharedFileDirectoryForTesting(files.path());
    view.setAudioUnit(instance.handle());
    probe.uniqueID() = instance.getWord(kKorvelProperty_UniqueID);
  }
  void TearDown() override {
    view.setAudioUnit(nullptr);
    EditorClicks::TearDown();
  }
  ~EditorClicksOnInstance() override { link::SetSharedFileDirectoryForTesting(std::nullopt); }

  VirtualDispatchScope dispatch;
  TempDir files;
  RecordedInstance instance;
};

TEST_F(EditorClicksOnInstance, ConnectButtonSendsOnlyTheConnectRequest) {
  const Rect button{W / 2 - 110, (H - 33) / 2 + 78, 220, 34};
  const double outside[][2] = {{button.x - 0.01, button.y + 5}, {button.right(), button.y + 5},
                               {button.x + 5, button.y - 0.01}, {button.x + 5, button.bottom()}};
  for (const auto& p : outside) view.mouseDown(p[0], p[1]);
  EXPECT_TRUE(instance.sets().empty());

  view.mouseDown(button.x, button.y);
  view.mouseDown(button.right() - 0.01, button.bottom() - 0.01);
  const auto sets = instance.sets();
  ASSERT_EQ(sets.size(), 2u);
  for (const PropertyCall& set : sets) {
    EXPECT_EQ(set.id, kKorvelProperty_CompanionCommand);
    EXPECT_EQ(set.size, 4u);
    EXPECT_EQ(set.valueAsWord(), 1u);
  }
  EXPECT_FALSE(view.isConnected());
  EXPECT_EQ(window.redraws, 0);

  // A linked view has no button.
  link();
  instance.calls().clear();
  view.mouseDown(button.x + 5, button.y + 5);
  EXPECT_TRUE(instance.calls().empty());
}

TEST_F(EditorClicksOnInstance, DisconnectTellsTheCompanionFirstAndClearsTheInstanceLast) {
  instance.setWord(kKorvelProperty_Connected, 1);
  link();
  std::vector<bool> viewConnectedAtEachSet;
  const Rect area = disconnectArea();
  instance.onSet([&](const PropertyCall&) { viewConnectedAtEachSet.push_back(view.isConnected()); });
  const size_t before = instance.calls().size();
  view.mouseDown(area.x + 1, 10);
  // The request goes out while the view still shows the link; the flag is cleared after.
  EXPECT_EQ(viewConnectedAtEachSet, (std::vector<bool>{true, false}));
  for (size_t i = before; i < instance.calls().size(); ++i) ASSERT_TRUE(instance.calls()[i].isSet);
  const auto sets = instance.sets();
  ASSERT_EQ(sets.size(), 2u);
  EXPECT_EQ(sets[0].id, kKorvelProperty_CompanionCommand);
  EXPECT_EQ(sets[0].valueAsWord(), 2u);
  EXPECT_EQ(sets[1].id, kKorvelProperty_Connected);
  EXPECT_EQ(sets[1].valueAsWord(), 0u);
  EXPECT_EQ(instance.getWord(kKorvelProperty_Connected), 0u);
  EXPECT_FALSE(view.isConnected());
  EXPECT_EQ(window.redraws, 1);
}

}  // namespace
}  // namespace korvel::test
