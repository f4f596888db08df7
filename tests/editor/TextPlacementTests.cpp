// Where texts land, compared with Pango's own extents of the same text and font.
#include <gtest/gtest.h>

#include <cmath>

#include "tests/editor/DrawingFixture.h"
#include "tests/editor/PangoReference.h"

namespace korvel::test {
namespace {

constexpr double kTolerance = 1.01;  // one pixel, for anti-aliased edges

PangoText IDText(const std::string& s) { return MeasureWithPango(s, "Monospace", PANGO_WEIGHT_NORMAL, 9); }
PangoText Disconnect() { return MeasureWithPango("Disconnect", "Sans", PANGO_WEIGHT_NORMAL, 10); }

const double* Band() { return kHeaderBand; }

class TextPlacement : public DrawingFixture {};

TEST_F(TextPlacement, HeaderIDIsRightAlignedEightPointsFromTheEdge) {
  probe.uniqueID() = 0;
  for (int width : {340, 520}) {
    cairo_surface_t* s = draw(width, 500);
    const PangoText id = IDText("00000000 v?");  // UID 0 keeps its eight digits
    const double left = width - 8 - id.logical.width;
    const InkBounds ink = FindInk(s, width - 140, 0, width, 32, Band()[0], Band()[1], Band()[2]);
    ASSERT_TRUE(ink.found);
    EXPECT_NEAR(ink.left, left + id.ink.x, kTolerance) << width;
    EXPECT_NEAR(ink.right + 1, left + id.ink.x + id.ink.width, kTolerance) << width;
    EXPECT_NEAR(ink.top, 11 + id.ink.y, kTolerance) << width;
    EXPECT_NEAR(ink.bottom + 1, 11 + id.ink.y + id.ink.height, kTolerance) << width;
  }
}

TEST_F(TextPlacement, DisconnectSitsFourteenPointsLeftOfTheID) {
  probe.uniqueID() = 0xABCDEF01;
  linkWithName("");
  cairo_surface_t* s = draw();
  const PangoText id = IDText("ABCDEF01 v?");
  const PangoText label = Disconnect();
  const double idLeft = 340 - 8 - id.logical.width;
  const double labelLeft = idLeft - 14 - label.logical.width;
  const InkBounds ink = FindInk(s, 30, 0, int(idLeft) - 2, 32, Band()[0], Band()[1], Band()[2]);
  ASSERT_TRUE(ink.found);
  EXPECT_NEAR(ink.left, labelLeft + label.ink.x, kTolerance);
  EXPECT_NEAR(ink.right + 1, labelLeft + label.ink.x + label.ink.width, kTolerance);
  EXPECT_NEAR(ink.top, 10 + label.ink.y, kTolerance);
  // Red text.
  const Pixel reddest = [&] {
    Pixel best{0, 0, 0, 0};
    for (int x = ink.left; x <= ink.right; ++x)
      for (int y = ink.top; y <= ink.bottom; ++y) {
        Pixel p = PixelAt(s, x, y);
        if (p.r - p.g > best.r - best.g) best = p;
      }
    return best;
  }();
  EXPECT_GT(reddest.r - reddest.g, 0.4);

  // Not linked: no label.
  probe.isConnected() = false;
  s = draw();
  const InkBounds none = FindInk(s, int(labelLeft) - 2, 0, int(idLeft) - 2, 32, Band()[0], Band()[1], Band()[2]);
  EXPECT_FALSE(none.found);
}

TEST_F(TextPlacement, LongTitleEndsInAnEllipsisEightPointsLeftOfDisconnect) {
  probe.uniqueID() = 0x01020304;
  const std::string name = "A track name far too long for the header of a narrow editor window";
  linkWithName(name);
  cairo_surface_t* s = draw();
  const double idLeft = 340 - 8 - IDText("01020304 v?").logical.width;
  const double R = idLeft - 14 - Disconnect().logical.width;
  const PangoText title = MeasureWithPango(name, "Sans", PANGO_WEIGHT_SEMIBOLD, 12, R - 34);
  ASSERT_TRUE(title.ellipsized);
  const InkBounds ink = FindInk(s, 24, 8, int(R) - 1, 24, Band()[0], Band()[1], Band()[2]);
  ASSERT_TRUE(ink.found);
  EXPECT_NEAR(ink.left, 26 + title.ink.x, kTolerance);
  EXPECT_NEAR(ink.right + 1, 26 + title.ink.x + title.ink.width, kTolerance);
  EXPECT_LE(ink.right + 1, R - 8 + 0.5);
  // Bright semibold text.
  double brightest = 0;
  for (int x = ink.left; x <= ink.right; ++x) brightest = std::max(brightest, PixelAt(s, x, 16).g);
  EXPECT_GT(brightest, 0.7);
}

TEST_F(TextPlacement, TitleOfANarrowViewHasNoRoom) {
  probe.uniqueID() = 0x01020304;
  const double idWidth = IDText("01020304 v?").logical.width;
  // R - 34 = 6: "Not connected" is cut down to what fits in 6 points.
  int width = int(std::ceil(8 + idWidth + 40));
  cairo_surface_t* s = draw(width, 500);
  double R = width - 8 - idWidth;
  InkBounds ink = FindInk(s, 22, 8, int(R) - 1, 24, Band()[0], Band()[1], Band()[2]);
  if (ink.found) {
    EXPECT_LE(ink.right, R - 8);  // clipped at the box, up to a partly covered pixel
  }

  // R - 34 < 0: the title has width 0 and nothing is drawn for it.
  width = int(std::floor(8 + idWidth + 30));
  s = draw(width, 500);
  R = width - 8 - idWidth;
  ASSERT_LT(R - 34, 0);
  EXPECT_FALSE(FindInk(s, 22, 8, int(R) - 1, 24, Band()[0], Band()[1], Band()[2]).found);

  // Wide enough: "Not connected" in grey 0.45.
  s = draw(340, 500);
  ink = FindInk(s, 22, 8, 200, 24, Band()[0], Band()[1], Band()[2]);
  ASSERT_TRUE(ink.found);
  const PangoText title = MeasureWithPango("Not connected", "Sans", PANGO_WEIGHT_NORMAL, 12);
  EXPECT_NEAR(ink.left, 26 + title.ink.x, kTolerance);
  EXPECT_NEAR(ink.right + 1, 26 + title.ink.x + title.ink.width, kTolerance);
  double brightest = 0;
  for (int x = ink.left; x <= ink.right; ++x)
    for (int y = ink.top; y <= ink.bottom; ++y) brightest = std::max(brightest, PixelAt(s, x, y).g);
  EXPECT_NEAR(brightest, 0.45, 0.06);
}

TEST_F(TextPlacement, ConnectPanelTextsAreCentred) {
  probe.uniqueID() = 0x00C0FFEE;
  for (int width : {340, 600}) {
    cairo_surface_t* s = draw(width, 500);
    const double cx = width / 2.0;
    const double cy = 33 + (500 - 33) / 2.0;
    struct Line {
      std::string text;
      const char* family;
      PangoWeight weight;
      double size, y;
    } lines[] = {
        {"Select this track in Logic,", "Sans", PANGO_WEIGHT_NORMAL, 12, cy},
        {"then press Connect.", "Sans", PANGO_WEIGHT_NORMAL, 12, cy + 16},
        {"ID: 00C0FFEE", "Monospace", PANGO_WEIGHT_NORMAL, 9, cy + 95},
    };
    for (const Line& line : lines) {
      const PangoText t = MeasureWithPango(line.text, line.family, line.weight, line.size);
      const double left = cx - t.logical.width / 2;
      const int top = int(std::floor(line.y + t.ink.y));
      const InkBounds ink = FindInk(s, 0, top, width, int(std::ceil(line.y + t.ink.y + t.ink.height)),
                                    kBackground[0], kBackground[1], kBackground[2], 0.05);
      ASSERT_TRUE(ink.found) << line.text;
      EXPECT_NEAR(ink.left, left + t.ink.x, kTolerance) << line.text;
      EXPECT_NEAR(ink.right + 1, left + t.ink.x + t.ink.width, kTolerance) << line.text;
    }
    // The button title, white on the button.
    const PangoText b = MeasureWithPango("Connect to selected track", "Sans", PANGO_WEIGHT_SEMIBOLD, 13);
    const InkBounds ink = FindInk(s, int(cx) - 100, int(cy + 47), int(cx) + 100, int(cy + 78), 0.2, 0.5, 1.0);
    ASSERT_TRUE(ink.found);
    EXPECT_NEAR(ink.left, cx - b.logical.width / 2 + b.ink.x, kTolerance);
    EXPECT_NEAR(ink.top, cy + 52 + b.ink.y, kTolerance);
  }
}

TEST_F(TextPlacement, GridLabelsAndNumbersAreRightAligned) {
  linkWithName("x");
  probe.ccTriggered()[7] = 1;
  probe.ccValues()[2][7] = 100;
  probe.ccValues()[9][7] = 20;
  probe.ccTriggered()[95] = 1;
  for (int width : {340, 480}) {
    cairo_surface_t* s = draw(width, 500);
    const PangoText vol = MeasureWithPango("Vol", "Sans", PANGO_WEIGHT_MEDIUM, 10);
    InkBounds ink = FindInk(s, 0, 59, 55, 71, kBackground[0], kBackground[1], kBackground[2], 0.05);
    ASSERT_TRUE(ink.found);
    EXPECT_NEAR(ink.right + 1, 48 - vol.logical.width + vol.ink.x + vol.ink.width, kTolerance);
    EXPECT_NEAR(ink.top, 59 + vol.ink.y, kTolerance);

    const PangoText hundred = MeasureWithPango("100", "Monospace", PANGO_WEIGHT_NORMAL, 9);
    ink = FindInk(s, width - 93 + 56 + 1, 59, width, 71, kBackground[0], kBackground[1], kBackground[2], 0.05);
    ASSERT_TRUE(ink.found);
    EXPECT_NEAR(ink.left, width - 10 - hundred.logical.width + hundred.ink.x, kTolerance);
    EXPECT_NEAR(ink.right + 1, width - 10 - hundred.logical.width + hundred.ink.x + hundred.ink.width, kTolerance);

    // Second row: controller 95 has no name of its own.
    const PangoText cc95 = MeasureWithPango("CC95", "Sans", PANGO_WEIGHT_MEDIUM, 10);
    ink = FindInk(s, 0, 75, 55, 87, kBackground[0], kBackground[1], kBackground[2], 0.05);
    ASSERT_TRUE(ink.found);
    EXPECT_NEAR(ink.left, 48 - cc95.logical.width + cc95.ink.x, kTolerance);
  }
}

}  // namespace
}  // namespace korvel::test
