#include "tests/e2e/EditorPicture.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace korvel::test {

namespace {

const Rgb kHeaderGrey = FromFractions(0.45, 0.45, 0.45);
constexpr int kContentTop = 33;

// Whether a square of `radius` around (x, y) holds a pixel near `colour`.
bool Around(const EditorPicture& picture, int x, int y, int radius, Rgb colour, int tolerance) {
  return picture.count(x - radius, y - radius, x + radius + 1, y + radius + 1, colour, tolerance) >
         0;
}

int ButtonMiddleRow(const EditorPicture& picture) {
  return (picture.height() - kContentTop) / 2 + 95;
}

}  // namespace

EditorPicture::EditorPicture(const std::string& pngPath)
    : surface_(cairo_image_surface_create_from_png(pngPath.c_str()), &cairo_surface_destroy) {}

bool EditorPicture::ok() const {
  return cairo_surface_status(surface_.get()) == CAIRO_STATUS_SUCCESS;
}
int EditorPicture::width() const {
  return ok() ? cairo_image_surface_get_width(surface_.get()) : 0;
}
int EditorPicture::height() const {
  return ok() ? cairo_image_surface_get_height(surface_.get()) : 0;
}

Rgb EditorPicture::at(int x, int y) const {
  if (x < 0 || y < 0 || x >= width() || y >= height()) return Rgb{-1000, -1000, -1000};
  const unsigned char* data = cairo_image_surface_get_data(surface_.get());
  const int stride = cairo_image_surface_get_stride(surface_.get());
  uint32_t p;
  std::memcpy(&p, data + y * stride + x * 4, 4);
  return Rgb{int((p >> 16) & 255), int((p >> 8) & 255), int(p & 255)};
}

int EditorPicture::count(int x0, int y0, int x1, int y1, Rgb colour, int tolerance) const {
  int n = 0;
  for (int y = std::max(y0, 0); y < std::min(y1, height()); ++y)
    for (int x = std::max(x0, 0); x < std::min(x1, width()); ++x)
      if (Distance(at(x, y), colour) <= tolerance) ++n;
  return n;
}

bool ShowsConnectButton(const EditorPicture& picture) {
  const int cx = picture.width() / 2, y = ButtonMiddleRow(picture);
  return Around(picture, cx - 60, y, 3, kConnectBlue, 3) &&
         Around(picture, cx + 60, y, 3, kConnectBlue, 3);
}

bool ShowsConnectBlue(const EditorPicture& picture) {
  const int cx = picture.width() / 2, y = ButtonMiddleRow(picture);
  return Around(picture, cx - 60, y, 3, kConnectBlue, 40) ||
         Around(picture, cx + 60, y, 3, kConnectBlue, 40);
}

bool ShowsActiveTrackDot(const EditorPicture& picture) {
  return Distance(picture.at(15, 16), kDotActiveTrack) <= 6;
}

bool ShowsOtherTrackDot(const EditorPicture& picture) {
  return Distance(picture.at(15, 16), kDotOtherTrack) <= 6;
}

int UnlitArticulationCellPixels(const EditorPicture& picture) {
  const Rgb unlitCell = Blend(kBackground, kWhite, 0.04);
  return picture.count(0, kContentTop + 26, picture.width(), picture.height(), unlitCell, 1);
}

int FirstHeaderTextPixelsRightOfCC(const EditorPicture& picture) {
  // The text's core pixels; its anti-aliased edges fade into the darker background.
  int n = 0;
  for (int y = 43; y <= 55; ++y)
    for (int x = 30; x <= 70; ++x) {
      const Rgb c = picture.at(x, y);
      if (Distance(c, kHeaderGrey) <= 35 &&
          std::max({c.r, c.g, c.b}) - std::min({c.r, c.g, c.b}) <= 12)
        ++n;
    }
  return n;
}

}  // namespace korvel::test
