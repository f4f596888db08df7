// A view without an instance, painted into image surfaces that the fixture frees.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "editor/Colour.h"
#include "editor/KorvelEditorView.h"
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
    cairo_surface_t* s = surfaces_.emplace_back(Render(view, width, height));
    // For looking at a failure: KORVEL_EDITOR_TEST_PNG_DIR=/some/dir keeps every picture.
    if (const char* dir = std::getenv("KORVEL_EDITOR_TEST_PNG_DIR")) {
      const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
      cairo_surface_write_to_png(s, (std::string(dir) + "/" + test->name() + "." +
                                     std::to_string(surfaces_.size()) + ".png").c_str());
    }
    return s;
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
