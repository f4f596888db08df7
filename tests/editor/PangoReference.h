// Text extents straight from Pango, set up the way the editor draws (absolute sizes,
// unhinted metrics, unrounded positions), to check where the editor put its texts.
#pragma once

#include <pango/pangocairo.h>

#include <string>

namespace korvel::test {

struct PangoBox {
  double x, y, width, height;
};
struct PangoText {
  PangoBox ink, logical;
  bool ellipsized = false;
};

// family: "Sans" or "Monospace"; widthLimit < 0: no limit, else ellipsized at the end.
inline PangoText MeasureWithPango(const std::string& text, const char* family, PangoWeight weight,
                                  double size, double widthLimit = -1) {
  cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 1, 1);
  cairo_t* cr = cairo_create(surface);
  PangoLayout* layout = pango_cairo_create_layout(cr);
  cairo_font_options_t* options = cairo_font_options_create();
  cairo_font_options_set_hint_metrics(options, CAIRO_HINT_METRICS_OFF);
  cairo_font_options_set_hint_style(options, CAIRO_HINT_STYLE_NONE);
  pango_cairo_context_set_font_options(pango_layout_get_context(layout), options);
  cairo_font_options_destroy(options);
  pango_context_set_round_glyph_positions(pango_layout_get_context(layout), FALSE);
  pango_layout_context_changed(layout);

  PangoFontDescription* desc = pango_font_description_new();
  pango_font_description_set_family(desc, family);
  pango_font_description_set_weight(desc, weight);
  pango_font_description_set_absolute_size(desc, size * PANGO_SCALE);
  pango_layout_set_font_description(layout, desc);
  pango_font_description_free(desc);
  if (widthLimit >= 0) {
    pango_layout_set_width(layout, static_cast<int>(widthLimit * PANGO_SCALE));
    pango_layout_set_ellipsize(layout, PANGO_ELLIPSIZE_END);
  }
  pango_layout_set_text(layout, text.c_str(), -1);

  PangoRectangle ink, logical;
  pango_layout_get_extents(layout, &ink, &logical);
  auto box = [](const PangoRectangle& r) {
    return PangoBox{double(r.x) / PANGO_SCALE, double(r.y) / PANGO_SCALE,
                    double(r.width) / PANGO_SCALE, double(r.height) / PANGO_SCALE};
  };
  PangoText result{box(ink), box(logical), pango_layout_is_ellipsized(layout) != FALSE};
  g_object_unref(layout);
  cairo_destroy(cr);
  cairo_surface_destroy(surface);
  return result;
}

}  // namespace korvel::test
