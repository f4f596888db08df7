// A view without an instance, painted into image surfaces that the fixture frees.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "editor/Colour.h"
#include "editor/KorvelEditorView.h"
#include "editor/PluginVersion.h"
#include "platform/Bundle.h"
#include "tests/editor/EditorTestSupport.h"

namespace korvel::test {

inline constexpr double kBackground[3] = {0.11, 0.11, 0.13};
inline constexpr double kHeaderBand[3] = {0.09, 0.09, 0.11};

class DrawingFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    // No bundle: the version text is "v?" for every test of this binary.
    platform::SetBundlePathForTesting(std::string("/nonexistent/Korvel.component"));
    editor::ResetPluginVersionForTesting();
  }
  void TearDown() override {
    for (cairo_surface_t* s : surfaces_) cairo_surface_destroy(s);
    platform::SetBundlePathForTesting(std::nullopt);
    editor::ResetPluginVersionForTesting();
  }
  cairo_surface_t* draw(int width = 340, int height = 500) {
    cairo_surface_t* s = Render(view, width, height);
    surfaces_.push_back(s);
    // For looking at a failure: KORVEL_EDITOR_TEST_PNG_DIR=/some/dir keeps every picture.
    if (const char* dir = std::getenv("KORVEL_EDITOR_TEST_PNG_DIR")) {
      const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
      const std::string path = std::string(dir) + "/" + info->test_suite_name() + "." +
                               info->name() + "." + std::to_string(surfaces_.size()) + ".png";
      cairo_surface_write_to_png(s, path.c_str());
    }
    return s;
  }
  void linkWithName(const std::string& name, bool activeTrack = false) {
    probe.isConnected() = true;
    probe.isActiveTrack() = activeTrack;
    probe.trackName() = name;
  }

  editor::KorvelEditorView view{editor::Rect{0, 0, 340, 500}, nullptr};
  editor::EditorViewProbe probe{view};

 private:
  std::vector<cairo_surface_t*> surfaces_;
};

inline bool IsBackground(const Pixel& p) {
  return Near(p, kBackground[0], kBackground[1], kBackground[2]);
}
inline bool IsHeaderBand(const Pixel& p) {
  return Near(p, kHeaderBand[0], kHeaderBand[1], kHeaderBand[2]);
}
inline bool NearColour(const Pixel& p, const editor::Colour& c, double tolerance = 0.02) {
  return Near(p, c.red, c.green, c.blue, tolerance);
}
// Colour c at its own alpha over the opaque (r, g, b).
inline editor::Colour Composite(const editor::Colour& c, const double (&under)[3]) {
  return editor::Colour::RGB(Over(c.red, c.alpha, under[0]), Over(c.green, c.alpha, under[1]),
                             Over(c.blue, c.alpha, under[2]));
}

}  // namespace korvel::test
