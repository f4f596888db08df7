/* Colours of the editor: grey levels, RGB and hue-saturation-brightness, with alpha. */
#pragma once

namespace korvel::editor {

struct Colour {
  double red = 0;
  double green = 0;
  double blue = 0;
  double alpha = 1;

  static constexpr Colour Grey(double level, double alpha = 1) {
    return Colour{level, level, level, alpha};
  }
  static constexpr Colour RGB(double r, double g, double b, double alpha = 1) {
    return Colour{r, g, b, alpha};
  }
  /* Hue, saturation and brightness as fractions of 1 (hue 0 red, 1/3 green, 2/3 blue);
   * values outside 0..1 are clamped. */
  static Colour HSB(double hue, double saturation, double brightness, double alpha = 1);

  Colour withAlpha(double a) const { return Colour{red, green, blue, a}; }
};

/* The colour scale for MIDI values: violet at 0 through blue, green and yellow to red at
 * 127, saturation 0.85, brightness 0.9. */
double ValueHue(double value);
Colour ValueColour(double value, double alpha);

}  // namespace korvel::editor
