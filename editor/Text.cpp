#include "editor/Text.h"

#include <pango/pangocairo.h>

#include <cmath>
#include <string>
#include <unordered_map>

namespace korvel::editor {
namespace {

constexpr size_t kMaxKeptLines = 1024;

constexpr double FromPango(int units) { return static_cast<double>(units) / PANGO_SCALE; }

Rect FromPangoRect(const PangoRectangle& r) {
  return Rect{FromPango(r.x), FromPango(r.y), FromPango(r.width), FromPango(r.height)};
}

const char* FamilyName(FontFamily family) {
  switch (family) {
    case FontFamily::Monospace:
      return "Monospace";
    case FontFamily::Emoji:
      return "Noto Color Emoji";
    case FontFamily::System:
      break;
  }
  return "Sans";
}

PangoWeight PangoWeightOf(FontWeight weight) {
  switch (weight) {
    case FontWeight::Medium:
      return PANGO_WEIGHT_MEDIUM;
    case FontWeight::Semibold:
      return PANGO_WEIGHT_SEMIBOLD;
    case FontWeight::Bold:
      return PANGO_WEIGHT_BOLD;
    case FontWeight::Regular:
      break;
  }
  return PANGO_WEIGHT_NORMAL;
}

/* Unhinted metrics and unrounded positions: widths then do not depend on the target. */
PangoContext* NewContext() {
  PangoContext* context = pango_font_map_create_context(pango_cairo_font_map_get_default());
  cairo_font_options_t* options = cairo_font_options_create();
  cairo_font_options_set_hint_metrics(options, CAIRO_HINT_METRICS_OFF);
  cairo_font_options_set_hint_style(options, CAIRO_HINT_STYLE_NONE);
  pango_cairo_context_set_font_options(context, options);
  cairo_font_options_destroy(options);
  pango_context_set_round_glyph_positions(context, FALSE);
  return context;
}

/* The lines laid out in one context, by font, width limit and text. */
class LineCache {
 public:
  LineCache() : context_(NewContext()) {}
  ~LineCache() {
    forget();
    g_object_unref(context_);
  }
  PangoContext* context() const { return context_; }

  /* Points the context at cr's transformation and target. Pango counts every update as
   * a change, which would lay every kept line out again, so it is told only when the
   * transformation or the target's font options really differ from the last pass's. */
  void follow(cairo_t* cr) {
    cairo_matrix_t matrix;
    cairo_get_matrix(cr, &matrix);
    cairo_font_options_t* options = cairo_font_options_create();
    cairo_surface_get_font_options(cairo_get_target(cr), options);
    const unsigned long optionsHash = cairo_font_options_hash(options);
    cairo_font_options_destroy(options);
    const bool same = followed_ && optionsHash == optionsHash_ && matrix.xx == matrix_.xx &&
                      matrix.yx == matrix_.yx && matrix.xy == matrix_.xy &&
                      matrix.yy == matrix_.yy && matrix.x0 == matrix_.x0 && matrix.y0 == matrix_.y0;
    if (same) return;
    pango_cairo_update_context(cr, context_);
    followed_ = true;
    matrix_ = matrix;
    optionsHash_ = optionsHash;
  }

  PangoLayout* layout(std::string_view text, const Font& font, int widthLimit) {
    std::string key;
    key.reserve(text.size() + 24);
    key.append(reinterpret_cast<const char*>(&font.size), sizeof font.size);
    key.push_back(static_cast<char>(font.family));
    key.push_back(static_cast<char>(font.weight));
    key.append(reinterpret_cast<const char*>(&widthLimit), sizeof widthLimit);
    key.append(text);
    if (auto it = lines_.find(key); it != lines_.end()) return it->second;
    if (lines_.size() >= kMaxKeptLines) forget();

    PangoLayout* layout = pango_layout_new(context_);
    PangoFontDescription* desc = NewFontDescription(font);
    pango_layout_set_font_description(layout, desc);
    pango_font_description_free(desc);
    pango_layout_set_single_paragraph_mode(layout, TRUE);
    if (widthLimit >= 0) {
      pango_layout_set_width(layout, widthLimit);
      pango_layout_set_ellipsize(layout, PANGO_ELLIPSIZE_END);
    }
    pango_layout_set_text(layout, text.data(), static_cast<int>(text.size()));
    lines_.emplace(std::move(key), layout);
    return layout;
  }

  void forget() {
    for (auto& [key, layout] : lines_) g_object_unref(layout);
    lines_.clear();
  }

 private:
  PangoContext* context_;
  std::unordered_map<std::string, PangoLayout*> lines_;
  bool followed_ = false;
  cairo_matrix_t matrix_{};
  unsigned long optionsHash_ = 0;
};

/* Per thread (the main thread, in practice): one for drawing, whose context follows the
 * cairo target it draws into, and one for measuring in plain view units. */
LineCache& DrawingLines() {
  thread_local LineCache cache;
  return cache;
}
LineCache& MeasuringLines() {
  thread_local LineCache cache;
  return cache;
}

}  // namespace

PangoFontDescription* NewFontDescription(const Font& font) {
  PangoFontDescription* desc = pango_font_description_new();
  pango_font_description_set_family_static(desc, FamilyName(font.family));
  pango_font_description_set_weight(desc, PangoWeightOf(font.weight));
  pango_font_description_set_absolute_size(desc, font.size * PANGO_SCALE);
  return desc;
}

TextRenderer::TextRenderer(cairo_t* cr) : cr_(cr), context_(DrawingLines().context()) {
  DrawingLines().follow(cr_);
}

TextRenderer::TextRenderer() : cr_(nullptr), context_(MeasuringLines().context()) {}

TextRenderer::~TextRenderer() = default;

void TextRenderer::ForgetLaidOutLines() {
  DrawingLines().forget();
  MeasuringLines().forget();
}

PangoLayout* TextRenderer::layoutFor(std::string_view text, const Font& font, int widthLimit) {
  LineCache& cache = cr_ != nullptr ? DrawingLines() : MeasuringLines();
  return cache.layout(text, font, widthLimit);
}

TextExtents TextRenderer::extents(std::string_view text, const Font& font) {
  PangoRectangle ink;
  PangoRectangle logical;
  pango_layout_get_extents(layoutFor(text, font, -1), &ink, &logical);
  return TextExtents{FromPangoRect(logical), FromPangoRect(ink)};
}

double TextRenderer::width(std::string_view text, const Font& font) {
  PangoRectangle logical;
  pango_layout_get_extents(layoutFor(text, font, -1), nullptr, &logical);
  return FromPango(logical.width);
}

void TextRenderer::show(PangoLayout* layout, const TextStyle& style, double x, double y) {
  PangoRectangle logical;
  pango_layout_get_extents(layout, nullptr, &logical);
  const Colour& c = style.colour;
  cairo_set_source_rgba(cr_, c.red, c.green, c.blue, c.alpha);
  cairo_move_to(cr_, x - FromPango(logical.x), y - FromPango(logical.y));
  if (observeDrawnLine != nullptr) observeDrawnLine(layout);
  pango_cairo_show_layout(cr_, layout);
}

void TextRenderer::draw(std::string_view text, const TextStyle& style, double x, double y) {
  if (cr_ == nullptr) return;
  show(layoutFor(text, style.font, -1), style, x, y);
}

void TextRenderer::drawTruncated(std::string_view text, const TextStyle& style, const Rect& box) {
  if (cr_ == nullptr || !(box.width > 0) || !(box.height > 0)) return;
  PangoLayout* layout =
      layoutFor(text, style.font, static_cast<int>(std::floor(box.width * PANGO_SCALE)));
  cairo_save(cr_);
  cairo_rectangle(cr_, box.x, box.y, box.width, box.height);
  cairo_clip(cr_);
  show(layout, style, box.x, box.y);
  cairo_restore(cr_);
}

}  // namespace korvel::editor
