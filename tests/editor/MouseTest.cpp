// Clicks: the copy area, the "Disconnect" label and the connect button, at their edges.
#include <gtest/gtest.h>

#include <optional>

#include "tests/editor/EditorTestSupport.h"
#include "tests/editor/PangoReference.h"

namespace korvel::test {
namespace {

using editor::Rect;

constexpr double W = 340, H = 500;
const Rect kButton{W / 2 - 110, (H - 33) / 2 + 78, 220, 34};

class EditorClicks : public ::testing::Test {
 protected:
  EditorClicks() { view.viewDidMoveToWindow(&window.services()); }
  ~EditorClicks() override {
    if (instance) instance->onSet(nullptr);  // the view gives its hold back through it
    view.setAudioUnit(nullptr);
  }
  void attachInstance() {
    instance.emplace();
    view.setAudioUnit(instance->handle());
    instance->sets().clear();  // the view's hold on the instance
    probe.uniqueID() = instance->getWord(kKorvelProperty_UniqueID);
  }
  void link() {
    probe.isConnected() = true;
    probe.trackName() = "Strings";
    probe.articulationNames() = {"Legato"};
    probe.articulationNotes() = {24};
  }
  // The "Disconnect" rectangle from Pango's own widths of the two header texts.
  Rect disconnectArea() {
    const double w1 =
        MeasureWithPango(HexUID(probe.uniqueID()) + " v?", "Monospace", PANGO_WEIGHT_NORMAL, 9)
            .logical.width;
    const double w2 = MeasureWithPango("Disconnect", "Sans", PANGO_WEIGHT_NORMAL, 10).logical.width;
    return Rect{W - 8 - w1 - 14 - w2 - 6, 0, w2 + 12, 32};
  }

  EditorIsolation isolation;
  VirtualDispatchScope dispatch;
  std::optional<RecordedInstance> instance;
  RecordingWindow window;
  editor::KorvelEditorView view{Rect{0, 0, W, H}, nullptr};
  editor::EditorViewProbe probe{view};
};

TEST_F(EditorClicks, CopyAreaIsTheHeadersLast120PointsEdgesExcluded) {
  probe.uniqueID() = 0xBEEF;
  view.mouseDown(W - 120, 10);
  view.mouseDown(W - 50, 32);
  EXPECT_TRUE(window.clipboard.empty());
  view.mouseDown(W - 119, 10);
  view.mouseDown(W - 1, 31.9);
  link();  // linked or not
  view.mouseDown(W - 0.5, 0);
  EXPECT_EQ(window.clipboard, std::vector<std::string>(3, "0000BEEF v?"));
  EXPECT_EQ(window.redraws, 0);
  EXPECT_TRUE(view.isConnected());
}

TEST_F(EditorClicks, DisconnectAreaReachesSixPointsPastTheLabelAndTheWholeHeader) {
  probe.uniqueID() = 0x12345678;
  const Rect area = disconnectArea();
  ASSERT_GT(area.right(), W - 120);  // the part right of W - 120 belongs to the copy area
  const double inside[][2] = {{area.x, 0}, {area.x, 31.99}, {W - 120, 16}, {area.x + 3, 2}};
  const double outside[][2] = {
      {area.x - 0.01, 10}, {area.x + 3, 32}, {20, 10}, {area.x + 3, 200}, {W - 119.99, 10}};
  for (const auto& p : inside) {
    link();
    view.mouseDown(p[0], p[1]);
    EXPECT_FALSE(view.isConnected()) << p[0] << "," << p[1];
    EXPECT_EQ(view.trackName(), "");
  }
  // Articulations stay until the connection file says otherwise.
  EXPECT_EQ(view.articulationNames().size(), 1u);
  for (const auto& p : outside) {
    link();
    view.mouseDown(p[0], p[1]);
    EXPECT_TRUE(view.isConnected()) << p[0] << "," << p[1];
    EXPECT_EQ(view.trackName(), "Strings");
  }
  EXPECT_EQ(window.clipboard.size(), 1u);  // the last one, in the copy area
  EXPECT_EQ(window.redraws, 4);
}

TEST_F(EditorClicks, ConnectButtonSendsOnlyTheConnectRequest) {
  view.mouseDown(kButton.x + 1, kButton.y + 1);  // no instance: nothing to ask
  EXPECT_FALSE(view.isConnected());
  EXPECT_TRUE(window.clipboard.empty());

  attachInstance();
  const double outside[][2] = {{kButton.x - 0.01, kButton.y + 5},
                               {kButton.right(), kButton.y + 5},
                               {kButton.x + 5, kButton.y - 0.01},
                               {kButton.x + 5, kButton.bottom()}};
  for (const auto& p : outside) view.mouseDown(p[0], p[1]);
  EXPECT_TRUE(instance->sets().empty());
  view.mouseDown(kButton.x, kButton.y);
  view.mouseDown(kButton.right() - 0.01, kButton.bottom() - 0.01);
  const auto sets = instance->sets();
  ASSERT_EQ(sets.size(), 2u);
  for (const PropertyCall& set : sets) {
    EXPECT_EQ(set.id, kKorvelProperty_CompanionCommand);
    EXPECT_EQ(set.size(), 4u);
    EXPECT_EQ(set.valueAsWord(), 1u);
  }
  EXPECT_FALSE(view.isConnected());
  EXPECT_EQ(window.redraws, 0);

  link();  // a linked view has no button
  instance->sets().clear();
  view.mouseDown(kButton.x + 5, kButton.y + 5);
  EXPECT_TRUE(instance->sets().empty());
}

TEST_F(EditorClicks, DisconnectTellsTheCompanionFirstAndClearsTheInstanceLast) {
  attachInstance();
  instance->setWord(kKorvelProperty_Connected, 1);
  link();
  std::vector<bool> viewConnectedAtEachSet;
  instance->onSet(
      [&](const PropertyCall&) { viewConnectedAtEachSet.push_back(view.isConnected()); });
  view.mouseDown(disconnectArea().x + 1, 10);
  // The request goes out while the view still shows the link; the flag is cleared after.
  EXPECT_EQ(viewConnectedAtEachSet, (std::vector<bool>{true, false}));
  const auto& sets = instance->sets();
  ASSERT_EQ(sets.size(), 2u);
  EXPECT_TRUE(sets[0].id == kKorvelProperty_CompanionCommand && sets[0].valueAsWord() == 2);
  EXPECT_TRUE(sets[1].id == kKorvelProperty_Connected && sets[1].valueAsWord() == 0);
  EXPECT_EQ(instance->getWord(kKorvelProperty_Connected), 0u);
  EXPECT_FALSE(view.isConnected());
  EXPECT_EQ(window.redraws, 1);
}

}  // namespace
}  // namespace korvel::test
