/*
 * Single-line text with Pango: fonts, measuring, drawing and tail truncation.
 *
 * Sizes are in the view's units (a 10-point font is 10 units high on a cairo context
 * with the identity matrix). A text drawn at (x, y) has the top-left corner of its
 * logical line box there. Glyph positions are not rounded and metrics are not hinted, so
 * a width measured without a cairo context (hit testing) equals the width drawn.
 */
#pragma once

#include <cairo.h>
#include <pango/pango.h>

#include <string_view>

#include "editor/Colour.h"
#include "editor/Geometry.h"

namespace korvel::editor {

enum class FontFamily : unsigned char {
  System,    /* fontconfig "Sans" */
  Monospace, /* fontconfig "Monospace" */
  Emoji,     /* "Noto Color Emoji", for the link symbol */
};

enum class FontWeight : unsigned char { Regular, Medium, Semibold, Bold };

struct Font {
  FontFamily family = FontFamily::System;
  double size = 12;
  FontWeight weight = FontWeight::Regular;
};

struct TextStyle {
  Font font;
  Colour colour;
};

/* The layout metrics of one line of text, in view units. */
struct TextExtents {
  Rect logical; /* the line box, relative to the drawing point's logical origin */
  Rect ink;     /* the inked area, same origin */
};

/* A new font description for `font`; the caller frees it with pango_font_description_free. */
PangoFontDescription* NewFontDescription(const Font& font);

/*
 * Measures and draws text. One renderer serves one drawing pass (or one hit test).
 *
 * Laying text out (itemising, shaping) is most of the cost of a redraw, and the editor
 * draws the same few hundred strings ten times a second, so laid-out lines are kept per
 * thread, keyed by font, width limit and text, in a bounded cache that is emptied when
 * it fills. A kept line is laid out again by Pango by itself when the target's
 * transformation or font options change.
 */
class TextRenderer {
 public:
  /* Draws into cr (and measures in its transformation). */
  explicit TextRenderer(cairo_t* cr);
  /* Measures only, in the view's units. */
  TextRenderer();
  ~TextRenderer();
  TextRenderer(const TextRenderer&) = delete;
  /* Tests and benchmarks: forget every kept line of this thread. */
  static void ForgetLaidOutLines();
  /* Tests: when set, sees every line just before it is drawn. */
  static inline void (*observeDrawnLine)(PangoLayout* layout) = nullptr;
  TextRenderer& operator=(const TextRenderer&) = delete;

  double width(std::string_view text, const Font& font);
  TextExtents extents(std::string_view text, const Font& font);
  /* Top-left of the line box at (x, y). */
  void draw(std::string_view text, const TextStyle& style, double x, double y);
  /* Inside `box` (clipped to it), cut at its tail with an ellipsis when wider than the
   * box. A box without width draws nothing. */
  void drawTruncated(std::string_view text, const TextStyle& style, const Rect& box);

 private:
  PangoLayout* layoutFor(std::string_view text, const Font& font, int widthLimit);
  void show(PangoLayout* layout, const TextStyle& style, double x, double y);

  cairo_t* cr_;
  PangoContext* context_;
};

}  // namespace korvel::editor
