// A full redraw of a linked editor at its smallest size with every controller row shown
// (96) and 64 articulations, beside a baseline that only fills the same surface once.
// Goal: a frame in under 2 ms, so that ten redraws a second stay a small load.
#include <benchmark/benchmark.h>
#include <cairo.h>

#include "editor/KorvelEditorView.h"
#include "tests/editor/EditorTestSupport.h"

namespace {

constexpr int kWidth = 340;
constexpr int kHeight = 500;

struct Surface {
  cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, kWidth, kHeight);
  cairo_t* cr = cairo_create(surface);
  ~Surface() {
    cairo_destroy(cr);
    cairo_surface_destroy(surface);
  }
};

void BM_Baseline_FillSurface(benchmark::State& state) {
  Surface s;
  for (auto _ : state) {
    cairo_set_source_rgb(s.cr, 0.11, 0.11, 0.13);
    cairo_rectangle(s.cr, 0, 0, kWidth, kHeight);
    cairo_fill(s.cr);
    cairo_surface_flush(s.surface);
    benchmark::DoNotOptimize(cairo_image_surface_get_data(s.surface));
  }
}
BENCHMARK(BM_Baseline_FillSurface)->Unit(benchmark::kMicrosecond);

void BM_LinkedEditorFullRedraw(benchmark::State& state) {
  korvel::editor::KorvelEditorView view{korvel::editor::Rect{0, 0, kWidth, kHeight}, nullptr};
  korvel::editor::EditorViewProbe probe{view};
  probe.uniqueID() = 0x1234ABCD;
  probe.isConnected() = true;
  probe.isActiveTrack() = true;
  probe.trackName() = "Violins I \xE2\x80\x93 Sustain";
  for (int c = 0; c < 96; ++c) {
    probe.ccTriggered()[c] = 1;
    probe.ccValues()[c % 16][c] = static_cast<uint8_t>((c * 37) % 128);
  }
  for (int i = 0; i < 64; ++i) {
    probe.articulationNames().push_back("Articulation " + std::to_string(i + 1));
    probe.articulationNotes().push_back(24 + i);
  }
  probe.activeArticulation() = 30;
  probe.lastVelocity() = 100;

  Surface s;
  for (auto _ : state) {
    view.drawRect(s.cr);
    cairo_surface_flush(s.surface);
    benchmark::DoNotOptimize(cairo_image_surface_get_data(s.surface));
  }
}
BENCHMARK(BM_LinkedEditorFullRedraw)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
