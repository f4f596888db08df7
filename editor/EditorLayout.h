/*
 * The editor's geometry and the fonts that decide it, shared by the drawing and the hit
 * testing, so that a click lands where the thing was drawn.
 */
#pragma once

#include <cstdint>
#include <string>

#include "editor/Geometry.h"
#include "editor/Text.h"

namespace korvel::editor {

inline constexpr double kMinimumViewWidth = 340;
inline constexpr double kMinimumViewHeight = 500;
inline constexpr uint32_t kFollowContainerMask = 2 | 16;  // width- and height-sizable

inline constexpr double kHeaderHeight = 32;
inline constexpr double kContentTop = 33;      // below the one-point separator
inline constexpr double kCopyAreaWidth = 120;  // the header's right end copies the ID

inline constexpr Font kHeaderIDFont{FontFamily::Monospace, 9, FontWeight::Regular};
inline constexpr Font kDisconnectFont{FontFamily::System, 10, FontWeight::Regular};

/* "%08X v…": the UID and the version text, as the header shows and a click copies. */
std::string HeaderIDText(uint32_t uniqueID);

struct HeaderLayout {
  double idX = 0;  // left edge of the ID text
  double idWidth = 0;
  double disconnectX = 0;  // left edge of "Disconnect" (linked views only)
  double disconnectWidth = 0;
  Rect disconnectHitArea;  // the label, 6 points wider on either side, full header height
  Rect titleBox;           // from x 26 to 8 points left of the ID text or "Disconnect"
};

HeaderLayout LayoutHeader(TextRenderer& text, double viewWidth, uint32_t uniqueID, bool connected);

/* The copy area: the header's last 120 points, both edges excluded. */
bool InCopyArea(double viewWidth, double x, double y);

/* The connect button of a content area that starts at `top`. */
Rect ConnectButtonRect(double top, double width, double height);

}  // namespace korvel::editor
