// A view without an instance, painted into image surfaces that the fixture frees.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "editor/Colour.h"
#include "editor/KorvelEditorView.h"
#include "editor/OffscreenRender.h"
#include "tests/editor/EditorTestSupport.h"

namespace korvel::test {

inline constexpr RGB kBackground{0.11, 0.11, 0.13};
inline constexpr RGB kHeaderBand{0.09, 0.09, 0.11};
inline constexpr RGB kConnectBlue{0.2, 0.5, 1.0};
inline constexpr RGB kWhite{1, 1, 1};

inline RGB Of(const editor::Colour& c) { return {c.red, c.green, c.blue}; }
// `c` at its own alpha over the opaque `under`.
inline RGB Composite(const editor::Colour& c, RGB under) { return Over(Of(c), c.alpha, under); }

class DrawingFixture : public ::testing::Test {
 protected:
  ~DrawingFixture() override {
    for (cairo_surface_t* s : surfaces_) cairo_surface_destroy(s);
  }
  cairo_surface_t* draw(int width = 340, int height = 500) {
    return surfaces_.emplace_back(editor::RenderViewToSurface(view, width, height));
  }
  void linkWithName(const std::string& name, bool activeTrack = false) {
    probe.isConnected() = true;
    probe.isActiveTrack() = activeTrack;
    probe.trackName() = name;
  }

  EditorIsolation isolation;
  editor::KorvelEditorView view{editor::Rect{0, 0, 340, 500}, nullptr};
  editor::EditorViewProbe probe{view};

 private:
  std::vector<cairo_surface_t*> surfaces_;
};

}  // namespace korvel::test
