#include "editor/Text.h"

#include <pango/pangocairo.h>

#include <cmath>

namespace korvel::editor {
namespace {

constexpr double FromPango(int units) { return static_cast<double>(units) / PANGO_SCALE; }

Rect FromPangoRect(const PangoRectangle& r) {
  return Rect{FromPango(r.x), FromPango(r.y), FromPango(r.width), FromPango(r.height)};
}

const char* FamilyName(FontFamily family) {
  switch (family) {
    case FontFamily::Monospace: return "Monospace";
    case FontFamily::Emoji: return "Noto Color Emoji";
    case FontFamily::System: break;
  }
  return "Sans";
}

PangoWeight PangoWeightOf(FontWeight weight) {
  switch (weight) {
    case FontWeight::Medium: return PANGO_WEIGHT_MEDIUM;
    case FontWeight::Semibold: return PANGO_WEIGHT_SEMIBOLD;
    case FontWeight::Bold: return PANGO_WEIGHT_BOLD;
    case FontWeight::Regular: break;
  }
  return PANGO_WEIGHT_NORMAL;
}

/* Unhinted metrics and unrounded positions: widths then do not depend on the target. */
void ConfigureContext(PangoContext* context) {
  cairo_font_options_t* options = cairo_font_options_create();
  cairo_font_options_set_hint_metrics(options, CAIRO_HINT_METRICS_OFF);
  cairo_font_options_set_hint_style(options, CAIRO_HINT_STYLE_NONE);
  pango_cairo_context_set_font_options(context, options);
  cairo_font_options_destroy(options);
  pango_context_set_round_glyph_positions(context, FALSE);
}

/* The context for measuring without a target: one per thread (the main thread, in
 * practice), kept for the life of the process like Pango's own font map. */
PangoContext* MeasuringContext() {
  thread_local PangoContext* context = [] {
    PangoFontMap* fontMap = pango_cairo_font_map_get_default();
    PangoContext* made = pango_font_map_create_context(fontMap);
    ConfigureContext(made);
    return made;
  }();
  return context;
}

}  // namespace

PangoFontDescription* NewFontDescription(const Font& font) {
  PangoFontDescription* desc = pango_font_description_new();
  pango_font_description_set_family_static(desc, FamilyName(font.family));
  pango_font_description_set_weight(desc, PangoWeightOf(font.weight));
  pango_font_description_set_absolute_size(desc, font.size * PANGO_SCALE);
  return desc;
}

TextRenderer::TextRenderer(cairo_t* cr) : cr_(cr), layout_(pango_cairo_create_layout(cr)) {
  ConfigureContext(pango_layout_get_context(layout_));
  pango_layout_context_changed(layout_);
}

TextRenderer::TextRenderer() : cr_(nullptr), layout_(pango_layout_new(MeasuringContext())) {}

TextRenderer::~TextRenderer() { g_object_unref(layout_); }

void TextRenderer::prepare(std::string_view text, const Font& font, int widthLimit) {
  PangoFontDescription* desc = NewFontDescription(font);
  pango_layout_set_font_description(layout_, desc);
  pango_font_description_free(desc);
  pango_layout_set_width(layout_, widthLimit);
  pango_layout_set_ellipsize(layout_, widthLimit < 0 ? PANGO_ELLIPSIZE_NONE : PANGO_ELLIPSIZE_END);
  pango_layout_set_single_paragraph_mode(layout_, TRUE);
  pango_layout_set_text(layout_, text.data(), static_cast<int>(text.size()));
}

TextExtents TextRenderer::extents(std::string_view text, const Font& font) {
  prepare(text, font, -1);
  PangoRectangle ink;
  PangoRectangle logical;
  pango_layout_get_extents(layout_, &ink, &logical);
  return TextExtents{FromPangoRect(logical), FromPangoRect(ink)};
}

double TextRenderer::width(std::string_view text, const Font& font) {
  return extents(text, font).logical.width;
}

void TextRenderer::draw(std::string_view text, const TextStyle& style, double x, double y) {
  if (cr_ == nullptr) return;
  prepare(text, style.font, -1);
  PangoRectangle logical;
  pango_layout_get_extents(layout_, nullptr, &logical);
  const Colour& c = style.colour;
  cairo_set_source_rgba(cr_, c.red, c.green, c.blue, c.alpha);
  cairo_move_to(cr_, x - FromPango(logical.x), y - FromPango(logical.y));
  pango_cairo_show_layout(cr_, layout_);
}

void TextRenderer::drawTruncated(std::string_view text, const TextStyle& style, const Rect& box) {
  if (cr_ == nullptr || !(box.width > 0) || !(box.height > 0)) return;
  prepare(text, style.font, static_cast<int>(std::floor(box.width * PANGO_SCALE)));
  PangoRectangle logical;
  pango_layout_get_extents(layout_, nullptr, &logical);
  cairo_save(cr_);
  cairo_rectangle(cr_, box.x, box.y, box.width, box.height);
  cairo_clip(cr_);
  const Colour& c = style.colour;
  cairo_set_source_rgba(cr_, c.red, c.green, c.blue, c.alpha);
  cairo_move_to(cr_, box.x - FromPango(logical.x), box.y - FromPango(logical.y));
  pango_cairo_show_layout(cr_, layout_);
  cairo_restore(cr_);
}

}  // namespace korvel::editor
