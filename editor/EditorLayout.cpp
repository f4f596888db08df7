#include "editor/EditorLayout.h"

#include <algorithm>
#include <cstdio>

#include "editor/PluginVersion.h"

namespace korvel::editor {

std::string HeaderIDText(uint32_t uniqueID) {
  char uid[16];
  std::snprintf(uid, sizeof uid, "%08X ", uniqueID);
  return uid + PluginVersion();
}

HeaderLayout LayoutHeader(TextRenderer& text, double viewWidth, uint32_t uniqueID, bool connected) {
  HeaderLayout layout;
  layout.idWidth = text.width(HeaderIDText(uniqueID), kHeaderIDFont);
  layout.idX = viewWidth - 8 - layout.idWidth;
  double right = layout.idX;
  if (connected) {
    layout.disconnectWidth = text.width("Disconnect", kDisconnectFont);
    right -= 14 + layout.disconnectWidth;
    layout.disconnectX = right;
    layout.disconnectHitArea = Rect{right - 6, 0, layout.disconnectWidth + 12, kHeaderHeight};
  }
  layout.titleBox = Rect{26, 8, std::max(0.0, right - 34), 16};
  return layout;
}

bool InCopyArea(double viewWidth, double x, double y) {
  return y < kHeaderHeight && x > viewWidth - kCopyAreaWidth;
}

Rect ConnectButtonRect(double top, double width, double height) {
  const double cx = width / 2;
  const double cy = top + height / 2;
  return Rect{cx - 110, cy + 45, 220, 34};
}

}  // namespace korvel::editor
