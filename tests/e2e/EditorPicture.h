// An editor snapshot (PNG) as the end-to-end tests look at it: only what a person would
// see at a glance — is the connect button there, are articulation cells drawn, how wide
// is the grid's first section header.
#pragma once

#include <cairo.h>

#include <memory>
#include <string>

#include "tests/support/Rgb.h"

namespace korvel::test {

class EditorPicture {
 public:
  explicit EditorPicture(const std::string& pngPath);
  bool ok() const;
  int width() const;
  int height() const;
  Rgb at(int x, int y) const;
  // How many pixels of the rectangle [x0, x1) x [y0, y1) lie within `tolerance` of `colour`.
  int count(int x0, int y0, int x1, int y1, Rgb colour, int tolerance) const;

 private:
  std::unique_ptr<cairo_surface_t, decltype(&cairo_surface_destroy)> surface_;
};

// The unlinked editor's blue connect button, probed at its middle row 60 points either
// side of the centre (a few pixels around each probe, as the title's letters may cover it).
bool ShowsConnectButton(const EditorPicture& picture);
// Any trace of the button's blue at the probes.
bool ShowsConnectBlue(const EditorPicture& picture);
// The header's status dot: green while the instance is on the companion's active track,
// orange while it is linked to another track.
bool ShowsActiveTrackDot(const EditorPicture& picture);
bool ShowsOtherTrackDot(const EditorPicture& picture);
// Pixels below the header that have the colour of an unlit articulation cell.
int UnlitArticulationCellPixels(const EditorPicture& picture);
// Text pixels of the section-header grey in x 30..70, y 43..55: beside the grid's first
// header "CC" there are none; a longer translation of it reaches into this area.
int FirstHeaderTextPixelsRightOfCC(const EditorPicture& picture);

}  // namespace korvel::test
