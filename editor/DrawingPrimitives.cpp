#include "editor/DrawingPrimitives.h"

#include <algorithm>
#include <cmath>

namespace korvel::editor {
namespace {

void SetSource(cairo_t* cr, const Colour& c) {
  cairo_set_source_rgba(cr, c.red, c.green, c.blue, c.alpha);
}

void RoundedRectPath(cairo_t* cr, const Rect& r, double radius) {
  radius = std::clamp(radius, 0.0, std::min(r.width, r.height) / 2.0);
  cairo_new_sub_path(cr);
  if (radius <= 0) {
    cairo_rectangle(cr, r.x, r.y, r.width, r.height);
    return;
  }
  const double left = r.x + radius;
  const double right = r.right() - radius;
  const double top = r.y + radius;
  const double bottom = r.bottom() - radius;
  cairo_arc(cr, right, top, radius, -M_PI / 2, 0);
  cairo_arc(cr, right, bottom, radius, 0, M_PI / 2);
  cairo_arc(cr, left, bottom, radius, M_PI / 2, M_PI);
  cairo_arc(cr, left, top, radius, M_PI, 3 * M_PI / 2);
  cairo_close_path(cr);
}

}  // namespace

void FillRect(cairo_t* cr, const Rect& r, const Colour& c) {
  if (r.width <= 0 || r.height <= 0) return;
  SetSource(cr, c);
  cairo_rectangle(cr, r.x, r.y, r.width, r.height);
  cairo_fill(cr);
}

void FillEllipse(cairo_t* cr, const Rect& r, const Colour& c) {
  if (r.width <= 0 || r.height <= 0) return;
  cairo_save(cr);
  cairo_translate(cr, r.x + r.width / 2, r.y + r.height / 2);
  cairo_scale(cr, r.width / 2, r.height / 2);
  cairo_new_path(cr);
  cairo_arc(cr, 0, 0, 1, 0, 2 * M_PI);
  cairo_restore(cr);
  SetSource(cr, c);
  cairo_fill(cr);
}

void FillRoundedRect(cairo_t* cr, const Rect& r, double radius, const Colour& c) {
  if (r.width <= 0 || r.height <= 0) return;
  cairo_new_path(cr);
  RoundedRectPath(cr, r, radius);
  SetSource(cr, c);
  cairo_fill(cr);
}

void FillRoundedRectGradient(cairo_t* cr, const Rect& r, double radius,
                             std::span<const Colour> stops) {
  if (r.width <= 0 || r.height <= 0 || stops.empty()) return;
  cairo_pattern_t* pattern = cairo_pattern_create_linear(r.x, 0, r.right(), 0);
  const double last = stops.size() > 1 ? static_cast<double>(stops.size() - 1) : 1.0;
  for (size_t k = 0; k < stops.size(); ++k) {
    const Colour& c = stops[k];
    cairo_pattern_add_color_stop_rgba(pattern, static_cast<double>(k) / last, c.red, c.green,
                                      c.blue, c.alpha);
  }
  cairo_new_path(cr);
  RoundedRectPath(cr, r, radius);
  cairo_set_source(cr, pattern);
  cairo_fill(cr);
  cairo_pattern_destroy(pattern);
}

}  // namespace korvel::editor
