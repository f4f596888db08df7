// The editor's frame: background, header (status, title, ID, "Disconnect"), separator,
// and the connect panel shown while the instance is not linked.
#include <cstdio>

#include "editor/DrawingPrimitives.h"
#include "editor/EditorLayout.h"
#include "editor/KorvelEditorView.h"

namespace korvel::editor {
namespace {

constexpr Colour kBackground = Colour::RGB(0.11, 0.11, 0.13);
constexpr Colour kHeaderBand = Colour::RGB(0.09, 0.09, 0.11);
constexpr Colour kStatusNotConnected = Colour::RGB(1.0, 0.3, 0.3);
constexpr Colour kStatusActiveTrack = Colour::RGB(0.3, 0.8, 0.3);
constexpr Colour kStatusOtherTrack = Colour::RGB(1.0, 0.6, 0.0);
constexpr Colour kSeparator = Colour::Grey(1.0, 0.1);
constexpr Colour kConnectButton = Colour::RGB(0.2, 0.5, 1.0);

constexpr TextStyle kHeaderIDStyle{kHeaderIDFont, Colour::Grey(0.3)};
constexpr TextStyle kDisconnectStyle{kDisconnectFont, Colour::RGB(1.0, 0.3, 0.3)};
constexpr TextStyle kTitleConnectedStyle{{FontFamily::System, 12, FontWeight::Semibold},
                                         Colour::Grey(0.9)};
constexpr TextStyle kTitleNotConnectedStyle{{FontFamily::System, 12, FontWeight::Regular},
                                            Colour::Grey(0.45)};
constexpr TextStyle kLinkSymbolStyle{{FontFamily::Emoji, 36, FontWeight::Regular},
                                     Colour::RGB(1.0, 0.6, 0.0)};
constexpr TextStyle kInstructionStyle{{FontFamily::System, 12, FontWeight::Regular},
                                      Colour::Grey(0.45)};
constexpr TextStyle kButtonTitleStyle{{FontFamily::System, 13, FontWeight::Semibold},
                                      Colour::Grey(1.0)};
constexpr TextStyle kPanelIDStyle{{FontFamily::Monospace, 9, FontWeight::Regular},
                                  Colour::Grey(0.25)};

void DrawCentred(TextRenderer& text, std::string_view s, const TextStyle& style, double cx,
                 double y) {
  text.draw(s, style, cx - text.width(s, style.font) / 2, y);
}

}  // namespace

void KorvelEditorView::drawRect(cairo_t* cr) {
  const double W = _frame.width;
  const double H = _frame.height;
  cairo_save(cr);
  TextRenderer text(cr);

  FillRect(cr, Rect{0, 0, W, H}, kBackground);
  FillRect(cr, Rect{0, 0, W, kHeaderHeight}, kHeaderBand);

  const Colour& status = !_isConnected    ? kStatusNotConnected
                         : _isActiveTrack ? kStatusActiveTrack
                                          : kStatusOtherTrack;
  FillEllipse(cr, Rect{10, 11, 10, 10}, status);

  const HeaderLayout header = LayoutHeader(text, W, _uniqueID, _isConnected);
  text.draw(HeaderIDText(_uniqueID), kHeaderIDStyle, header.idX, 11);
  if (_isConnected) text.draw("Disconnect", kDisconnectStyle, header.disconnectX, 10);
  if (_isConnected) {
    text.drawTruncated(_trackName, kTitleConnectedStyle, header.titleBox);
  } else {
    text.drawTruncated("Not connected", kTitleNotConnectedStyle, header.titleBox);
  }

  FillRect(cr, Rect{0, kHeaderHeight, W, 1}, kSeparator);
  cairo_restore(cr);

  if (_isConnected) {
    drawCCGridAt(cr, kContentTop, W, H - kContentTop);
  } else {
    drawConnectViewAt(cr, kContentTop, W, H - kContentTop);
  }
}

void KorvelEditorView::drawConnectViewAt(cairo_t* cr, double top, double width, double height) {
  cairo_save(cr);
  TextRenderer text(cr);
  const double cx = width / 2;
  const double cy = top + height / 2;

  // The symbol is placed, not measured: its left edge is always 18 left of the centre.
  text.draw("\U0001F517", kLinkSymbolStyle, cx - 18, cy - 50);
  DrawCentred(text, "Select this track in Logic,", kInstructionStyle, cx, cy);
  DrawCentred(text, "then press Connect.", kInstructionStyle, cx, cy + 16);
  FillRoundedRect(cr, ConnectButtonRect(top, width, height), 6, kConnectButton);
  DrawCentred(text, "Connect to selected track", kButtonTitleStyle, cx, cy + 52);

  char id[32];
  std::snprintf(id, sizeof id, "ID: %08X", _uniqueID);
  DrawCentred(text, id, kPanelIDStyle, cx, cy + 95);
  cairo_restore(cr);
}

}  // namespace korvel::editor
