/* Rectangles in the editor's flipped coordinates (origin top left, y downward). */
#pragma once

namespace korvel::editor {

struct Rect {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;

  double right() const { return x + width; }
  double bottom() const { return y + height; }
  /* Half-open: the left and top edges belong to the rectangle, the right and bottom do not. */
  bool contains(double px, double py) const {
    return px >= x && px < right() && py >= y && py < bottom();
  }
};

}  // namespace korvel::editor
