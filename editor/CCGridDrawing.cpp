// The linked editor's content: one bar per controller received, and the articulation
// list with the active one lit in the colour of the last velocity.
#include <algorithm>
#include <array>
#include <cstdio>
#include <string>

#include "editor/DrawingPrimitives.h"
#include "editor/KorvelEditorView.h"
#include "editor/Text.h"
#include "localization/HXLocalization.h"

namespace korvel::editor {
namespace {

constexpr int kShownControllers = 96;  // 96 to 127 never get a row

constexpr TextStyle kSectionHeaderStyle{{FontFamily::System, 10, FontWeight::Bold},
                                        Colour::Grey(0.45)};
constexpr TextStyle kLabelStyle{{FontFamily::System, 10, FontWeight::Medium}, Colour::Grey(0.45)};
constexpr TextStyle kValueStyle{{FontFamily::Monospace, 9, FontWeight::Regular}, Colour::Grey(0.9)};
constexpr TextStyle kActiveNameStyle{{FontFamily::System, 10, FontWeight::Bold}, Colour::Grey(0.9)};
constexpr TextStyle kInactiveNameStyle{{FontFamily::System, 10, FontWeight::Regular},
                                       Colour::Grey(0.45)};
constexpr Colour kTrack = Colour::Grey(1.0, 0.08);
constexpr Colour kInactiveCell = Colour::Grey(1.0, 0.04);
constexpr Colour kInactiveDot = Colour::Grey(1.0, 0.15);

std::string ControllerLabel(int controller) {
  switch (controller) {
    case 1:
      return "Mod";
    case 2:
      return "Breath";
    case 7:
      return "Vol";
    case 10:
      return "Pan";
    case 11:
      return "Expr";
    case 64:
      return "Sust";
    case 74:
      return "Bright";
    default:
      return "CC" + std::to_string(controller);
  }
}

/* Violet at the left end, the colour of `value` at the right. */
std::array<Colour, 7> BarColours(int value) {
  std::array<Colour, 7> colours;
  for (int k = 0; k < 7; ++k) {
    int v = static_cast<int>((k / 6.0) * value);
    if (v < 1) v = 1;
    colours[k] = ValueColour(v, 1.0);
  }
  return colours;
}

}  // namespace

void KorvelEditorView::drawCCGridAt(cairo_t* cr, double top, double width, double /*height*/) {
  cairo_save(cr);
  TextRenderer text(cr);

  text.draw(HXLocFB("cc_label_cc", "CC"), kSectionHeaderStyle, 10, top + 10);

  double rowY = top + 26;
  const double trackW = width - 94;
  for (int c = 0; c < kShownControllers; ++c) {
    if (_ccTriggered[c] == 0) continue;
    int m = 0;
    for (int ch = 0; ch < kKorvelChannels; ++ch) m = std::max<int>(m, _ccValues[ch][c]);

    const std::string label = ControllerLabel(c);
    text.draw(label, kLabelStyle, 48 - text.width(label, kLabelStyle.font), rowY);
    FillRoundedRect(cr, Rect{56, rowY, trackW, 12}, 3, kTrack);
    const double barLen = trackW * m / 127.0;
    if (barLen > 1.0) {
      const std::array<Colour, 7> colours = BarColours(m);
      FillRoundedRectGradient(cr, Rect{56, rowY, barLen, 12}, 3, colours);
    }
    const std::string value = std::to_string(m);
    text.draw(value, kValueStyle, (width - 10) - text.width(value, kValueStyle.font), rowY);
    rowY += 16;
  }

  if (!_articulationNames.empty()) {
    const double headerY = rowY + 8;
    text.draw(HXLocFB("cc_label_articulations", "Articulations"), kSectionHeaderStyle, 10, headerY);
    const double cellW = (width - 30) * 0.5;
    double cellY = headerY + 16;
    const Colour velocityCell = ValueColour(_lastVelocity, 0.25);
    const Colour velocityDot = ValueColour(_lastVelocity, 1.0);
    for (size_t i = 0; i < _articulationNames.size(); ++i) {
      const int col = static_cast<int>(i % 2);
      const double x = 10 + col * (cellW + 10);
      // A name without a note (the notes list is shorter) is never lit.
      const bool active =
          i < _articulationNotes.size() && _articulationNotes[i] == _activeArticulation;
      FillRoundedRect(cr, Rect{x, cellY, cellW, 24}, 4, active ? velocityCell : kInactiveCell);
      FillEllipse(cr, Rect{x + 6, cellY + 9, 6, 6}, active ? velocityDot : kInactiveDot);
      text.draw(_articulationNames[i], active ? kActiveNameStyle : kInactiveNameStyle, x + 18,
                cellY + 4);
      if (col == 1) cellY += 27;
    }
  }
  cairo_restore(cr);
}

}  // namespace korvel::editor
