// 8-bit RGB pixels as the tests read them from pictures of the editor, and the editor's
// colours they probe for.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>

namespace korvel::test {

struct Rgb {
  int r = 0, g = 0, b = 0;
};

inline Rgb FromFractions(double r, double g, double b) {
  return Rgb{int(std::lround(r * 255)), int(std::lround(g * 255)), int(std::lround(b * 255))};
}
// `over` painted with `alpha` on top of `under`.
inline Rgb Blend(Rgb under, Rgb over, double alpha) {
  auto mix = [&](int u, int o) { return int(std::lround(u * (1 - alpha) + o * alpha)); };
  return Rgb{mix(under.r, over.r), mix(under.g, over.g), mix(under.b, over.b)};
}
// The largest difference of the three channels.
inline int Distance(Rgb a, Rgb b) {
  return std::max({std::abs(a.r - b.r), std::abs(a.g - b.g), std::abs(a.b - b.b)});
}
inline bool Near(Rgb a, Rgb b, int tolerance = 3) { return Distance(a, b) <= tolerance; }
inline std::string Describe(Rgb c) {
  return "rgb(" + std::to_string(c.r) + "," + std::to_string(c.g) + "," + std::to_string(c.b) + ")";
}

inline const Rgb kBackground = FromFractions(0.11, 0.11, 0.13);
inline const Rgb kHeaderBand = FromFractions(0.09, 0.09, 0.11);
inline const Rgb kConnectBlue = FromFractions(0.2, 0.5, 1.0);
inline const Rgb kWhite = FromFractions(1, 1, 1);
inline const Rgb kDotNotConnected = FromFractions(1.0, 0.3, 0.3);
inline const Rgb kDotOtherTrack = FromFractions(1.0, 0.6, 0.0);
inline const Rgb kDotActiveTrack = FromFractions(0.3, 0.8, 0.3);

}  // namespace korvel::test
