/* Filled shapes on a cairo context, in the editor's coordinates. */
#pragma once

#include <cairo.h>

#include <span>

#include "editor/Colour.h"
#include "editor/Geometry.h"

namespace korvel::editor {

void FillRect(cairo_t* cr, const Rect& r, const Colour& c);
/* The ellipse inscribed in r. */
void FillEllipse(cairo_t* cr, const Rect& r, const Colour& c);
/* Corner radius is reduced to half the shorter side when the shape is smaller. */
void FillRoundedRect(cairo_t* cr, const Rect& r, double radius, const Colour& c);
/* A left-to-right gradient through `stops`, evenly spaced from the shape's left edge
 * (first colour) to its right edge (last colour), inside the rounded rectangle. */
void FillRoundedRectGradient(cairo_t* cr, const Rect& r, double radius,
                             std::span<const Colour> stops);

}  // namespace korvel::editor
