// Where texts land, compared with Pango's own extents of the same text and font.
#include <gtest/gtest.h>

#include <cmath>

#include "tests/editor/DrawingFixture.h"
#include "tests/editor/PangoReference.h"

namespace korvel::test {
namespace {

constexpr double kTolerance = 1.01;  // one pixel, for anti-aliased edges

PangoText Sans(const std::string& s, double size, PangoWeight weight = PANGO_WEIGHT_NORMAL,
               double widthLimit = -1) {
  return MeasureWithPango(s, "Sans", weight, size, widthLimit);
}
PangoText Mono(const std::string& s) {
  return MeasureWithPango(s, "Monospace", PANGO_WEIGHT_NORMAL, 9);
}

// The ink found in the box matches `text` laid out with its logical box at (left, top);
// top < 0: the vertical position is not checked.
void ExpectInkOf(const InkBounds& ink, const PangoText& text, double left, double top = -1) {
  ASSERT_TRUE(ink.found);
  EXPECT_NEAR(ink.left, left + text.ink.x, kTolerance);
  EXPECT_NEAR(ink.right + 1, left + text.ink.x + text.ink.width, kTolerance);
  if (top >= 0) {
    EXPECT_NEAR(ink.top, top + text.ink.y, kTolerance);
  }
}

// The largest value of `measure` over the pixels in the box of `ink`.
double Brightest(cairo_surface_t* s, const InkBounds& ink, double (*measure)(const Pixel&)) {
  double best = 0;
  for (int x = ink.left; x <= ink.right; ++x)
    for (int y = ink.top; y <= ink.bottom; ++y) best = std::max(best, measure(PixelAt(s, x, y)));
  return best;
}
double Green(const Pixel& p) { return p.g; }

class TextPlacement : public DrawingFixture {};

TEST_F(TextPlacement, HeaderIDIsRightAlignedEightPointsFromTheEdge) {
  probe.uniqueID() = 0;
  const PangoText id = Mono("00000000 v?");  // UID 0 keeps its eight digits
  for (int width : {340, 520}) {
    SCOPED_TRACE(width);
    const InkBounds ink = FindInk(draw(width, 500), width - 140, 0, width, 32, kHeaderBand);
    ExpectInkOf(ink, id, width - 8 - id.logical.width, 11);
    EXPECT_NEAR(ink.bottom + 1, 11 + id.ink.y + id.ink.height, kTolerance);
  }
}

TEST_F(TextPlacement, DisconnectSitsFourteenPointsLeftOfTheIDInRed) {
  probe.uniqueID() = 0xABCDEF01;
  linkWithName("");
  cairo_surface_t* s = draw();
  const PangoText label = Sans("Disconnect", 10);
  const double idLeft = 340 - 8 - Mono("ABCDEF01 v?").logical.width;
  const double labelLeft = idLeft - 14 - label.logical.width;
  const InkBounds ink = FindInk(s, 30, 0, int(idLeft) - 2, 32, kHeaderBand);
  ExpectInkOf(ink, label, labelLeft, 10);
  EXPECT_GT(Brightest(s, ink, [](const Pixel& p) { return p.r - p.g; }), 0.4);

  probe.isConnected() = false;  // not linked: no label
  EXPECT_FALSE(FindInk(draw(), int(labelLeft) - 2, 0, int(idLeft) - 2, 32, kHeaderBand).found);
}

TEST_F(TextPlacement, LongTitleEndsInAnEllipsisEightPointsLeftOfDisconnect) {
  probe.uniqueID() = 0x01020304;
  const std::string name = "A track name far too long for the header of a narrow editor window";
  linkWithName(name);
  cairo_surface_t* s = draw();
  const double R =
      340 - 8 - Mono("01020304 v?").logical.width - 14 - Sans("Disconnect", 10).logical.width;
  const PangoText title = Sans(name, 12, PANGO_WEIGHT_SEMIBOLD, R - 34);
  ASSERT_TRUE(title.ellipsized);
  const InkBounds ink = FindInk(s, 24, 8, int(R) - 1, 24, kHeaderBand);
  ExpectInkOf(ink, title, 26);
  EXPECT_LE(ink.right + 1, R - 8 + 0.5);
  EXPECT_GT(Brightest(s, ink, Green), 0.7);  // bright semibold text
}

TEST_F(TextPlacement, TitleOfANarrowViewHasNoRoom) {
  probe.uniqueID() = 0x01020304;
  const double idWidth = Mono("01020304 v?").logical.width;
  // R - 34 = 6: "Not connected" is cut down to what fits in 6 points.
  int width = int(std::ceil(8 + idWidth + 40));
  double R = width - 8 - idWidth;
  const InkBounds clipped = FindInk(draw(width, 500), 22, 8, int(R) - 1, 24, kHeaderBand);
  if (clipped.found) {
    EXPECT_LE(clipped.right, R - 8);  // up to a partly covered pixel
  }

  // R - 34 < 0: the title has width 0 and nothing is drawn for it.
  width = int(std::floor(8 + idWidth + 30));
  R = width - 8 - idWidth;
  ASSERT_LT(R - 34, 0);
  EXPECT_FALSE(FindInk(draw(width, 500), 22, 8, int(R) - 1, 24, kHeaderBand).found);

  // Wide enough: "Not connected" in grey 0.45.
  cairo_surface_t* s = draw(340, 500);
  const InkBounds ink = FindInk(s, 22, 8, 200, 24, kHeaderBand);
  ExpectInkOf(ink, Sans("Not connected", 12), 26);
  EXPECT_NEAR(Brightest(s, ink, Green), 0.45, 0.06);
}

TEST_F(TextPlacement, ConnectPanelTextsAreCentred) {
  probe.uniqueID() = 0x00C0FFEE;
  for (int width : {340, 600}) {
    cairo_surface_t* s = draw(width, 500);
    const double cx = width / 2.0, cy = 33 + (500 - 33) / 2.0;
    const struct {
      PangoText text;
      double y;
    } lines[] = {{Sans("Select this track in Logic,", 12), cy},
                 {Sans("then press Connect.", 12), cy + 16},
                 {Mono("ID: 00C0FFEE"), cy + 95}};
    for (const auto& line : lines) {
      SCOPED_TRACE(::testing::Message() << width << " " << line.y - cy);
      const PangoText& t = line.text;
      ExpectInkOf(FindInk(s, 0, int(std::floor(line.y + t.ink.y)), width,
                          int(std::ceil(line.y + t.ink.y + t.ink.height)), kBackground, 0.05),
                  t, cx - t.logical.width / 2);
    }
    // The button title, white on the button.
    const PangoText b = Sans("Connect to selected track", 13, PANGO_WEIGHT_SEMIBOLD);
    ExpectInkOf(FindInk(s, int(cx) - 100, int(cy + 47), int(cx) + 100, int(cy + 78), kConnectBlue),
                b, cx - b.logical.width / 2, cy + 52);
  }
}

TEST_F(TextPlacement, GridLabelsAndNumbersAreRightAligned) {
  linkWithName("x");
  probe.ccTriggered()[7] = 1;
  probe.ccValues()[2][7] = 100;
  probe.ccValues()[9][7] = 20;
  probe.ccTriggered()[95] = 1;
  const PangoText vol = MeasureWithPango("Vol", "Sans", PANGO_WEIGHT_MEDIUM, 10);
  const PangoText cc95 = MeasureWithPango("CC95", "Sans", PANGO_WEIGHT_MEDIUM, 10);
  const PangoText hundred = Mono("100");
  for (int width : {340, 480}) {
    SCOPED_TRACE(width);
    cairo_surface_t* s = draw(width, 500);
    ExpectInkOf(FindInk(s, 0, 59, 55, 71, kBackground, 0.05), vol, 48 - vol.logical.width, 59);
    ExpectInkOf(FindInk(s, width - 36, 59, width, 71, kBackground, 0.05), hundred,
                width - 10 - hundred.logical.width);
    // Second row: controller 95 has no name of its own.
    ExpectInkOf(FindInk(s, 0, 75, 55, 87, kBackground, 0.05), cc95, 48 - cc95.logical.width);
  }
}

}  // namespace
}  // namespace korvel::test
