// The editor's picture, checked on rendered pixels.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "editor/Text.h"
#include "tests/editor/DrawingFixture.h"

namespace korvel::test {
namespace {

using editor::Colour;
using editor::ValueColour;

const RGB kTrack = Over(kWhite, 0.08, kBackground);

// The colour a left-to-right gradient through the value colours of `m`'s seven stops has
// at pixel column px of a bar starting at 56 and `length` long.
RGB BarColourAt(int m, double length, int px) {
  Colour stops[7];
  for (int k = 0; k < 7; ++k) stops[k] = ValueColour(std::max(1, int((k / 6.0) * m)), 1);
  const double t = std::clamp((px + 0.5 - 56) / length, 0.0, 1.0) * 6;
  const int k = std::min(5, int(t));
  return Over(Of(stops[k + 1]), t - k, Of(stops[k]));
}

TEST(EditorColours, ValueScaleRunsFromVioletToRed) {
  const std::pair<Colour, RGB> cases[] = {
      {ValueColour(127, 1), {0.9, 0.135, 0.135}},
      {ValueColour(0, 1), {0.5175, 0.135, 0.9}},  // hue 0.75: between blue and magenta
      {Colour::HSB(1.0 / 3, 1, 1), {0, 1, 0}}};
  for (const auto& [c, expected] : cases) {
    EXPECT_NEAR(c.red, expected.r, 1e-12);
    EXPECT_NEAR(c.green, expected.g, 1e-12);
    EXPECT_NEAR(c.blue, expected.b, 1e-12);
  }
  EXPECT_DOUBLE_EQ(ValueColour(64, 0.25).alpha, 0.25);
}

class EditorFrame : public DrawingFixture {};

TEST_F(EditorFrame, StatusDotAndConnectPanelFollowTheLinkState) {
  probe.uniqueID() = 0x12345678;
  const struct {
    bool connected, active;
    RGB dot;
  } states[] = {{false, true, {1.0, 0.3, 0.3}},
                {true, false, {1.0, 0.6, 0.0}},
                {true, true, {0.3, 0.8, 0.3}}};
  for (const auto& state : states) {
    SCOPED_TRACE(::testing::Message()
                 << "connected " << state.connected << " active " << state.active);
    probe.isConnected() = state.connected;
    probe.isActiveTrack() = state.active;
    cairo_surface_t* s = draw();
    EXPECT_TRUE(Shows(s, 15, 16, state.dot));
    EXPECT_TRUE(Shows(s, 12, 15, state.dot));
    EXPECT_TRUE(Shows(s, 10, 11, kHeaderBand));  // outside the circle's corner
    EXPECT_EQ(bool(Shows(s, 65, 330, kConnectBlue)), !state.connected);
    // Linked: only the section header near (10, 43), nothing from the first row's place down.
    if (!state.connected) continue;
    const InkBounds header = FindInk(s, 0, 34, 340, 59, kBackground);
    ASSERT_TRUE(header.found);
    EXPECT_NEAR(header.left, 10, 2);
    EXPECT_FALSE(FindInk(s, 0, 59, 340, 500, kBackground).found);
  }
}

TEST_F(EditorFrame, NotConnectedShowsTheConnectPanel) {
  cairo_surface_t* s = draw();
  EXPECT_TRUE(Shows(s, 5, 480, kBackground));
  EXPECT_TRUE(Shows(s, 100, 3, kHeaderBand));
  EXPECT_TRUE(Shows(s, 5, 31, kHeaderBand));
  EXPECT_TRUE(Shows(s, 5, 32, Over(kWhite, 0.1, kBackground)));  // the separator row
  EXPECT_TRUE(Shows(s, 5, 33, kBackground));

  // Connect button at (W/2 - 110, 33 + (H - 33)/2 + 45, 220, 34) = (60, 311.5, 220, 34),
  // corners of radius 6.
  for (auto [x, y] : {std::pair{65, 330}, {275, 340}, {63, 314}})
    EXPECT_TRUE(Shows(s, x, y, kConnectBlue));
  for (auto [x, y] : {std::pair{58, 330}, {281, 330}, {65, 309}, {65, 347}, {60, 312}})
    EXPECT_TRUE(Shows(s, x, y, kBackground));

  // The link symbol is a colour glyph whose box starts at (cx - 18, cy - 50).
  const InkBounds symbol = FindInk(s, 100, 180, 240, 266, kBackground);
  ASSERT_TRUE(symbol.found);
  EXPECT_GE(symbol.left, 152 - 1);
  EXPECT_LE(symbol.left, 152 + 8);
  EXPECT_GE(symbol.top, 216);
}

class EditorGrid : public DrawingFixture {
 protected:
  void SetUp() override { linkWithName("Strings"); }
  void receive(int controller, int channel, int value) {
    probe.ccTriggered()[controller] = 1;
    probe.ccValues()[channel][controller] = static_cast<uint8_t>(value);
  }
};

TEST_F(EditorGrid, BarsRunFromVioletToTheValueColourOnlyForTriggeredControllers) {
  receive(1, 0, 1);   // row at y 59
  receive(5, 4, 0);   // row at y 75: track and number, no bar
  receive(7, 2, 64);  // row at y 91: the highest channel's value counts
  receive(7, 9, 20);
  receive(64, 15, 127);  // row at y 107
  receive(96, 0, 90);    // controllers above 95 never get a row
  receive(127, 0, 90);
  cairo_surface_t* s = draw();
  const double trackW = 340 - 94;

  // Value 1: a bar of 1.94 points, more than the 1-point limit, so it is drawn.
  EXPECT_TRUE(Shows(s, 56, 65, Of(ValueColour(1, 1)), 0.03));
  EXPECT_TRUE(Shows(s, 59, 65, kTrack));

  // Value 64: length 246 * 64 / 127, ending in the colour of 64.
  const double len64 = trackW * 64 / 127;
  int lastBarPixel = 0;
  for (int x = 56; x < 302; ++x)
    if (!Shows(s, x, 97, kTrack, 0.03)) lastBarPixel = x;
  EXPECT_NEAR(lastBarPixel + 1, 56 + len64, 1.0);
  const int nearEnd = 56 + int(len64) - 4;
  EXPECT_TRUE(Shows(s, nearEnd, 97, BarColourAt(64, len64, nearEnd), 0.03));
  EXPECT_TRUE(Shows(s, 57, 97, Of(ValueColour(1, 1)), 0.03));

  // Value 127: the whole track, red at its right end.
  EXPECT_TRUE(Shows(s, 298, 113, BarColourAt(127, trackW, 298), 0.03));
  EXPECT_LT(PixelAt(s, 298, 113).b, 0.3);
  EXPECT_GT(PixelAt(s, 298, 113).r, 0.8);
  EXPECT_TRUE(Shows(s, 303, 113, kBackground));

  // Value 0: the track alone, and the number.
  EXPECT_TRUE(Shows(s, 57, 81, kTrack));
  EXPECT_TRUE(FindInk(s, 302, 75, 340, 87, kBackground).found);

  // Rows are packed: nothing after the fourth row.
  EXPECT_FALSE(FindInk(s, 0, 123, 340, 500, kBackground).found);
}

class EditorArticulations : public EditorGrid {
 protected:
  void list(std::vector<std::string> names, std::vector<int32_t> notes, int active, int velocity) {
    probe.articulationNames() = std::move(names);
    probe.articulationNotes() = std::move(notes);
    probe.activeArticulation() = active;
    probe.lastVelocity() = velocity;
  }
  static RGB Lit(int velocity) { return Composite(ValueColour(velocity, 0.25), kBackground); }
  // Cells: header at y 67 without controller rows, first pair at 83, second at 110.
  static constexpr int kRow0 = 83, kRow1 = 110, kLeft = 10, kRight = 175;
  const RGB unlit = Over(kWhite, 0.04, kBackground);
};

TEST_F(EditorArticulations, CellsWithTheActiveNoteLightInTheVelocityColour) {
  list({"Legato", "Staccato", "Pizz"}, {24, 25, 24}, 24, 127);
  cairo_surface_t* s = draw();
  EXPECT_TRUE(Shows(s, kLeft + 150, kRow0 + 12, Lit(127)));
  EXPECT_TRUE(Shows(s, kLeft + 150, kRow1 + 12, Lit(127)));               // same note: lit too
  EXPECT_TRUE(Shows(s, kLeft + 8, kRow0 + 11, Of(ValueColour(127, 1))));  // dot, red
  EXPECT_TRUE(Shows(s, kRight + 150, kRow0 + 12, unlit));
  EXPECT_TRUE(Shows(s, kRight + 8, kRow0 + 11, Composite(Colour::Grey(1, 0.15), unlit)));
  EXPECT_TRUE(Shows(s, kRight + 100, kRow1 + 12, kBackground));  // odd count: empty slot
  // The active name is bright, the inactive one grey.
  EXPECT_TRUE(FindInk(s, kLeft + 18, kRow0, kLeft + 150, kRow0 + 24, Lit(127), 0.3).found);
  EXPECT_FALSE(FindInk(s, kRight + 18, kRow0, kRight + 150, kRow0 + 24, unlit, 0.4).found);
  EXPECT_TRUE(FindInk(s, kRight + 18, kRow0, kRight + 150, kRow0 + 24, unlit, 0.1).found);

  // Velocity 0 is violet; no active note lights nothing.
  list({"A", "B"}, {30, 31}, 31, 0);
  EXPECT_TRUE(Shows(draw(), kRight + 8, kRow0 + 11, Of(ValueColour(0, 1))));
  list({"A", "B"}, {30, 31}, -1, 0);
  s = draw();
  EXPECT_TRUE(Shows(s, kLeft + 150, kRow0 + 12, unlit));
  EXPECT_TRUE(Shows(s, kRight + 150, kRow0 + 12, unlit));

  // Names without notes are drawn unlit.
  list({"A", "B", "C"}, {24}, 24, 64);
  s = draw();
  EXPECT_TRUE(Shows(s, kLeft + 150, kRow0 + 12, Lit(64)));
  EXPECT_TRUE(Shows(s, kLeft + 150, kRow1 + 12, unlit));
}

// Every character has a glyph (no boxes): the grid's headers in Japanese and names in
// Japanese, Korean and Chinese. The shared table is read once per process, so the editor
// is drawn in a process of its own that finds a companion with a Japanese table.
TEST_F(EditorArticulations, JapaneseTextsAndCJKNamesHaveAGlyphForEveryCharacter) {
  auto drawInJapanese = [&] {
    const std::string bundle = isolation.files.file("Tolvane.app"),
                      home = isolation.files.file("home");
    const std::string table = bundle + "/Contents/Resources/ja.lproj";
    const std::string language = home + "/Library/Application Support/Tolvane";
    for (const std::string& dir : {table, language, home + "/apps/applications"})
      std::filesystem::create_directories(dir);
    WriteFile(table + "/Localizable.strings",
              "\"cc_label_cc\" = \"\u30b3\u30f3\u30c8\u30ed\u30fc\u30e9\u30fc\";\n"
              "\"cc_label_articulations\" = "
              "\"\u30a2\u30fc\u30c6\u30a3\u30ad\u30e5\u30ec\u30fc\u30b7\u30e7\u30f3\";\n");
    WriteFile(language + "/current_language.txt", "ja\n");
    WriteFile(home + "/apps/applications/com.tolvane.Tolvane.desktop",
              "[Desktop Entry]\nType=Application\nName=Tolvane\nExec=tolvane\nX-Bundle-Path=" +
                  bundle + "\n");
    setenv("HOME", home.c_str(), 1);
    setenv("XDG_DATA_HOME", (home + "/apps").c_str(), 1);
    setenv("XDG_DATA_DIRS", home.c_str(), 1);
    linkWithName("\u5f26\u697d\u5668 \ubc14\uc774\uc62c\ub9b0 \u5c0f\u63d0\u7434");
    receive(1, 0, 64);
    list({"\u30ec\u30ac\u30fc\u30c8", "\uc2a4\ud0c0\uce74\ud1a0", "\u62e8\u5f26"}, {24, 25, 26}, 24,
         100);
    static int japaneseHeaders = 0, withoutGlyphs = 0;
    editor::TextRenderer::observeDrawnLine = [](PangoLayout* layout) {
      const std::string text = pango_layout_get_text(layout);
      japaneseHeaders += text == "\u30b3\u30f3\u30c8\u30ed\u30fc\u30e9\u30fc";
      if (pango_layout_get_unknown_glyphs_count(layout) == 0) return;
      ++withoutGlyphs;
      std::fprintf(stderr, "no glyph in '%s'\n", text.c_str());
    };
    draw();
    std::fprintf(stderr, "%d Japanese header(s), %d text(s) with missing glyphs\n", japaneseHeaders,
                 withoutGlyphs);
    std::exit(japaneseHeaders > 0 && withoutGlyphs == 0 ? 0 : 1);
  };
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(drawInJapanese(), ::testing::ExitedWithCode(0), "");
}

TEST_F(EditorArticulations, SectionFollowsTheControllerRowsAndIsCutOffAtTheBottom) {
  receive(1, 0, 10);
  receive(2, 0, 10);
  list({"A", "B", "C"}, {1, 2, 3}, 3, 64);
  cairo_surface_t* s = draw();
  // Two rows: the header at 99, cells at 115 and 142.
  EXPECT_TRUE(Shows(s, kLeft + 150, 115 + 12, unlit));
  EXPECT_TRUE(Shows(s, kLeft + 150, 142 + 12, Lit(64)));
  EXPECT_TRUE(Shows(s, kLeft + 150, 113, kBackground));
  const InkBounds header = FindInk(s, 0, 95, 340, 113, kBackground);
  ASSERT_TRUE(header.found);
  EXPECT_GE(header.top, 99);

  for (int c = 0; c < 96; ++c) receive(c, 0, 64);
  list(std::vector<std::string>(64, "Art"), std::vector<int32_t>(64, 1), 1, 100);
  s = draw(340, 200);  // 96 rows need 1536 points
  EXPECT_EQ(cairo_image_surface_get_height(s), 200);
  EXPECT_FALSE(Shows(s, 100, 199 - 6, kBackground));  // rows run down to the bottom edge
}

}  // namespace
}  // namespace korvel::test
