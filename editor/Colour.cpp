#include "editor/Colour.h"

#include <algorithm>
#include <cmath>

namespace korvel::editor {

Colour Colour::HSB(double hue, double saturation, double brightness, double alpha) {
  hue = std::clamp(hue, 0.0, 1.0);
  saturation = std::clamp(saturation, 0.0, 1.0);
  brightness = std::clamp(brightness, 0.0, 1.0);
  const double scaled = (hue >= 1.0 ? 0.0 : hue) * 6.0;
  const int sector = static_cast<int>(std::floor(scaled));
  const double f = scaled - sector;
  const double p = brightness * (1.0 - saturation);
  const double q = brightness * (1.0 - saturation * f);
  const double t = brightness * (1.0 - saturation * (1.0 - f));
  const double v = brightness;
  switch (sector) {
    case 0:
      return Colour{v, t, p, alpha};
    case 1:
      return Colour{q, v, p, alpha};
    case 2:
      return Colour{p, v, t, alpha};
    case 3:
      return Colour{p, q, v, alpha};
    case 4:
      return Colour{t, p, v, alpha};
    default:
      return Colour{v, p, q, alpha};
  }
}

double ValueHue(double value) { return (1.0 - value / 127.0) * 0.75; }

Colour ValueColour(double value, double alpha) {
  return Colour::HSB(ValueHue(value), 0.85, 0.9, alpha);
}

}  // namespace korvel::editor
