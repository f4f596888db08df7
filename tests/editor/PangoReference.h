// Text extents straight from Pango, set up the way the editor draws (absolute sizes,
// unhinted metrics, unrounded positions), to check where the editor put its texts.
#pragma once

#include <pango/pango.h>

#include <string>

namespace korvel::test {

struct PangoBox {
  double x, y, width, height;
};
struct PangoText {
  PangoBox ink;
  PangoBox logical;
  bool ellipsized = false;
};

// family: "Sans" or "Monospace"; widthLimit < 0: no limit, else ellipsized at the end.
PangoText MeasureWithPango(const std::string& text, const char* family, PangoWeight weight,
                           double size, double widthLimit = -1);

}  // namespace korvel::test
