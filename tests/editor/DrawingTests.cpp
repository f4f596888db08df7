// The editor's picture, checked on rendered pixels.
#include <gtest/gtest.h>

#include <cmath>

#include "tests/editor/DrawingFixture.h"

namespace korvel::test {
namespace {

using editor::Colour;
using editor::ValueColour;

const double kTrackColour[3] = {Over(1, 0.08, 0.11), Over(1, 0.08, 0.11), Over(1, 0.08, 0.13)};

// The colour a left-to-right gradient through the value colours of `m`'s seven stops has
// at pixel column px of a bar starting at 56 and `length` long.
Colour BarColourAt(int m, double length, int px) {
  Colour stops[7];
  for (int k = 0; k < 7; ++k) stops[k] = ValueColour(std::max(1, int((k / 6.0) * m)), 1);
  const double t = std::clamp((px + 0.5 - 56) / length, 0.0, 1.0) * 6;
  const int k = std::min(5, int(t));
  const double f = t - k;
  auto lerp = [f](double a, double b) { return a + (b - a) * f; };
  return Colour::RGB(lerp(stops[k].red, stops[k + 1].red), lerp(stops[k].green, stops[k + 1].green),
                     lerp(stops[k].blue, stops[k + 1].blue));
}

TEST(EditorColours, HueSaturationBrightnessScale) {
  const Colour red = ValueColour(127, 1);
  EXPECT_NEAR(red.red, 0.9, 1e-12);
  EXPECT_NEAR(red.green, 0.135, 1e-12);
  EXPECT_NEAR(red.blue, 0.135, 1e-12);
  const Colour violet = ValueColour(0, 1);  // hue 0.75: between blue and magenta
  EXPECT_NEAR(violet.red, 0.5175, 1e-12);
  EXPECT_NEAR(violet.green, 0.135, 1e-12);
  EXPECT_NEAR(violet.blue, 0.9, 1e-12);
  const Colour green = Colour::HSB(1.0 / 3, 1, 1);
  EXPECT_NEAR(green.red, 0, 1e-12);
  EXPECT_NEAR(green.green, 1, 1e-12);
  EXPECT_NEAR(green.blue, 0, 1e-12);
  const Colour wrapped = Colour::HSB(1.0, 1, 1);  // a full turn is red again
  EXPECT_NEAR(wrapped.red, 1, 1e-12);
  EXPECT_NEAR(wrapped.blue, 0, 1e-12);
  EXPECT_DOUBLE_EQ(ValueColour(64, 0.25).alpha, 0.25);
}

class EditorFrame : public DrawingFixture {};

TEST_F(EditorFrame, NotConnectedShowsRedDotAndConnectPanel) {
  probe.uniqueID() = 0x12345678;
  cairo_surface_t* s = draw();
  EXPECT_TRUE(IsBackground(PixelAt(s, 5, 480)));
  EXPECT_TRUE(IsHeaderBand(PixelAt(s, 100, 3)));
  EXPECT_TRUE(IsHeaderBand(PixelAt(s, 5, 31)));
  EXPECT_TRUE(Near(PixelAt(s, 15, 16), 1.0, 0.3, 0.3));  // status dot
  EXPECT_TRUE(IsHeaderBand(PixelAt(s, 10, 11)));        // outside the circle's corner
  // The separator row: white at 0.1 over the background.
  EXPECT_TRUE(Near(PixelAt(s, 5, 32), Over(1, 0.1, 0.11), Over(1, 0.1, 0.11), Over(1, 0.1, 0.13)));
  EXPECT_TRUE(IsBackground(PixelAt(s, 5, 33)));

  // Connect button at (W/2 - 110, 33 + (H - 33)/2 + 45, 220, 34) = (60, 311.5, 220, 34).
  EXPECT_TRUE(Near(PixelAt(s, 65, 330), 0.2, 0.5, 1.0));
  EXPECT_TRUE(Near(PixelAt(s, 275, 340), 0.2, 0.5, 1.0));
  EXPECT_TRUE(IsBackground(PixelAt(s, 58, 330)));
  EXPECT_TRUE(IsBackground(PixelAt(s, 281, 330)));
  EXPECT_TRUE(IsBackground(PixelAt(s, 65, 309)));
  EXPECT_TRUE(IsBackground(PixelAt(s, 65, 347)));
  EXPECT_TRUE(Near(PixelAt(s, 63, 314), 0.2, 0.5, 1.0));  // inside the radius-6 corner
  EXPECT_TRUE(IsBackground(PixelAt(s, 60, 312)));         // cut off by it

  // The link symbol is a colour glyph whose box starts at (cx - 18, cy - 50).
  const InkBounds symbol = FindInk(s, 100, 180, 240, 266, kBackground[0], kBackground[1],
                                   kBackground[2]);
  ASSERT_TRUE(symbol.found);
  EXPECT_GE(symbol.left, 152 - 1);
  EXPECT_LE(symbol.left, 152 + 8);
  EXPECT_GE(symbol.top, 216);
}

TEST_F(EditorFrame, StatusDotFollowsTheLinkState) {
  struct Case {
    bool connected, active;
    double r, g, b;
  } cases[] = {{false, true, 1.0, 0.3, 0.3}, {true, false, 1.0, 0.6, 0.0}, {true, true, 0.3, 0.8, 0.3}};
  for (const Case& c : cases) {
    probe.isConnected() = c.connected;
    probe.isActiveTrack() = c.active;
    cairo_surface_t* s = draw();
    EXPECT_TRUE(Near(PixelAt(s, 15, 16), c.r, c.g, c.b)) << c.connected << c.active;
    EXPECT_TRUE(Near(PixelAt(s, 12, 15), c.r, c.g, c.b)) << c.connected << c.active;
  }
}

TEST_F(EditorFrame, LinkedViewShowsGridInsteadOfPanel) {
  linkWithName("Strings");
  cairo_surface_t* s = draw();
  EXPECT_TRUE(IsBackground(PixelAt(s, 65, 330)));  // no connect button
  // Only the section header: ink near (10, 43), nothing from the first row's place down.
  const InkBounds header = FindInk(s, 0, 34, 340, 59, kBackground[0], kBackground[1], kBackground[2]);
  ASSERT_TRUE(header.found);
  EXPECT_NEAR(header.left, 10, 2);
  EXPECT_FALSE(FindInk(s, 0, 59, 340, 500, kBackground[0], kBackground[1], kBackground[2]).found);
}

class EditorGrid : public DrawingFixture {
 protected:
  void SetUp() override {
    DrawingFixture::SetUp();
    linkWithName("Strings");
  }
  void receive(int controller, int channel, int value) {
    probe.ccTriggered()[controller] = 1;
    probe.ccValues()[channel][controller] = static_cast<uint8_t>(value);
  }
};

TEST_F(EditorGrid, BarsRunFromVioletToTheValueColour) {
  receive(1, 0, 1);      // row at y 59
  receive(5, 4, 0);      // row at y 75: track and number, no bar
  receive(7, 2, 64);     // row at y 91: the highest channel's value counts
  receive(7, 9, 20);
  receive(64, 15, 127);  // row at y 107
  receive(100, 0, 90);   // never a row
  cairo_surface_t* s = draw();
  const double trackW = 340 - 94;

  // Value 1: a bar of 1.94 points, more than the 1-point limit, so it is drawn.
  EXPECT_TRUE(NearColour(PixelAt(s, 56, 65), ValueColour(1, 1), 0.03));
  EXPECT_TRUE(Near(PixelAt(s, 59, 65), kTrackColour[0], kTrackColour[1], kTrackColour[2]));

  // Value 64: length 246 * 64 / 127, ending in the colour of 64.
  const double len64 = trackW * 64 / 127;
  int lastBarPixel = 0;
  for (int x = 56; x < 302; ++x) {
    if (!Near(PixelAt(s, x, 97), kTrackColour[0], kTrackColour[1], kTrackColour[2], 0.03)) {
      lastBarPixel = x;
    }
  }
  EXPECT_NEAR(lastBarPixel + 1, 56 + len64, 1.0);
  EXPECT_TRUE(NearColour(PixelAt(s, 56 + int(len64) - 4, 97), BarColourAt(64, len64, 56 + int(len64) - 4), 0.03));
  EXPECT_TRUE(NearColour(PixelAt(s, 57, 97), ValueColour(1, 1), 0.03));

  // Value 127: the whole track, red at its right end.
  EXPECT_TRUE(NearColour(PixelAt(s, 298, 113), BarColourAt(127, trackW, 298), 0.03));
  EXPECT_LT(PixelAt(s, 298, 113).b, 0.3);
  EXPECT_GT(PixelAt(s, 298, 113).r, 0.8);
  EXPECT_TRUE(IsBackground(PixelAt(s, 303, 113)));

  // Value 0: the track alone, and the number.
  EXPECT_TRUE(Near(PixelAt(s, 57, 81), kTrackColour[0], kTrackColour[1], kTrackColour[2]));
  EXPECT_TRUE(FindInk(s, 302, 75, 340, 87, kBackground[0], kBackground[1], kBackground[2]).found);

  // Rows are packed: nothing after the fourth row, though controller 100 was received.
  EXPECT_FALSE(FindInk(s, 0, 123, 340, 500, kBackground[0], kBackground[1], kBackground[2]).found);
}

TEST_F(EditorGrid, ControllersAbove95NeverGetARow) {
  for (int c = 96; c < 128; ++c) receive(c, 0, 127);
  cairo_surface_t* s = draw();
  EXPECT_FALSE(FindInk(s, 0, 59, 340, 500, kBackground[0], kBackground[1], kBackground[2]).found);
}

class EditorArticulations : public EditorGrid {
 protected:
  void list(std::vector<std::string> names, std::vector<int32_t> notes, int active, int velocity) {
    probe.articulationNames() = std::move(names);
    probe.articulationNotes() = std::move(notes);
    probe.activeArticulation() = active;
    probe.lastVelocity() = velocity;
  }
  // Cells: header at y 67 without controller rows, first pair at 83, second at 110.
  static constexpr int kRow0 = 83, kRow1 = 110, kLeft = 10, kRight = 175;
  const double inactiveCell[3] = {Over(1, 0.04, 0.11), Over(1, 0.04, 0.11), Over(1, 0.04, 0.13)};
};

TEST_F(EditorArticulations, CellsWithTheActiveNoteLightInTheVelocityColour) {
  list({"Legato", "Staccato", "Pizz"}, {24, 25, 24}, 24, 127);
  cairo_surface_t* s = draw();
  const Colour lit = Composite(ValueColour(127, 0.25), kBackground);
  EXPECT_TRUE(NearColour(PixelAt(s, kLeft + 150, kRow0 + 12), lit));
  EXPECT_TRUE(NearColour(PixelAt(s, kLeft + 150, kRow1 + 12), lit));  // same note: lit too
  EXPECT_TRUE(NearColour(PixelAt(s, kLeft + 8, kRow0 + 11), ValueColour(127, 1)));  // dot, red
  EXPECT_TRUE(Near(PixelAt(s, kRight + 150, kRow0 + 12), inactiveCell[0], inactiveCell[1], inactiveCell[2]));
  const Colour dimDot = Composite(Colour::Grey(1, 0.15), inactiveCell);
  EXPECT_TRUE(NearColour(PixelAt(s, kRight + 8, kRow0 + 11), dimDot));
  EXPECT_TRUE(IsBackground(PixelAt(s, kRight + 100, kRow1 + 12)));  // odd count: empty slot
  // The active name is bright, the inactive one grey.
  const InkBounds activeName = FindInk(s, kLeft + 18, kRow0, kLeft + 150, kRow0 + 24, lit.red,
                                       lit.green, lit.blue, 0.3);
  EXPECT_TRUE(activeName.found);
  EXPECT_FALSE(FindInk(s, kRight + 18, kRow0, kRight + 150, kRow0 + 24, inactiveCell[0],
                       inactiveCell[1], inactiveCell[2], 0.4).found);
  EXPECT_TRUE(FindInk(s, kRight + 18, kRow0, kRight + 150, kRow0 + 24, inactiveCell[0],
                      inactiveCell[1], inactiveCell[2], 0.1).found);
}

TEST_F(EditorArticulations, VelocityZeroIsVioletAndNoActiveNoteLightsNothing) {
  list({"A", "B"}, {30, 31}, 31, 0);
  cairo_surface_t* s = draw();
  EXPECT_TRUE(NearColour(PixelAt(s, kRight + 8, kRow0 + 11), ValueColour(0, 1)));

  list({"A", "B"}, {30, 31}, -1, 0);
  s = draw();
  EXPECT_TRUE(Near(PixelAt(s, kLeft + 150, kRow0 + 12), inactiveCell[0], inactiveCell[1], inactiveCell[2]));
  EXPECT_TRUE(Near(PixelAt(s, kRight + 150, kRow0 + 12), inactiveCell[0], inactiveCell[1], inactiveCell[2]));
}

TEST_F(EditorArticulations, NamesWithoutNotesAreDrawnUnlit) {
  list({"A", "B", "C"}, {24}, 24, 64);
  cairo_surface_t* s = draw();
  EXPECT_TRUE(NearColour(PixelAt(s, kLeft + 150, kRow0 + 12), Composite(ValueColour(64, 0.25), kBackground)));
  EXPECT_TRUE(Near(PixelAt(s, kLeft + 150, kRow1 + 12), inactiveCell[0], inactiveCell[1], inactiveCell[2]));
}

TEST_F(EditorArticulations, SectionFollowsTheControllerRows) {
  receive(1, 0, 10);
  receive(2, 0, 10);
  list({"A", "B", "C"}, {1, 2, 3}, 3, 64);
  cairo_surface_t* s = draw();
  // Two rows: the header at 99, cells at 115 and 142.
  EXPECT_TRUE(Near(PixelAt(s, kLeft + 150, 115 + 12), inactiveCell[0], inactiveCell[1], inactiveCell[2]));
  EXPECT_TRUE(NearColour(PixelAt(s, kLeft + 150, 142 + 12), Composite(ValueColour(64, 0.25), kBackground)));
  EXPECT_TRUE(IsBackground(PixelAt(s, kLeft + 150, 113)));
  const InkBounds header = FindInk(s, 0, 95, 340, 113, kBackground[0], kBackground[1], kBackground[2]);
  ASSERT_TRUE(header.found);
  EXPECT_GE(header.top, 99);
}

TEST_F(EditorArticulations, RowsPastTheBottomAreCutOff) {
  for (int c = 0; c < 96; ++c) receive(c, 0, 64);
  list(std::vector<std::string>(64, "Art"), std::vector<int32_t>(64, 1), 1, 100);
  cairo_surface_t* s = draw(340, 200);  // 96 rows need 1536 points
  EXPECT_EQ(cairo_image_surface_get_height(s), 200);
  EXPECT_FALSE(IsBackground(PixelAt(s, 100, 199 - 6)));  // rows run down to the bottom edge
}

}  // namespace
}  // namespace korvel::test
