/* Painting a view without a window: into an image surface, or into a PNG file. */
#pragma once

#include <cairo.h>

#include <string>

#include "editor/KorvelEditorView.h"

namespace korvel::editor {

/* Resizes the view to width x height and paints it into a new ARGB32 image surface, one
 * pixel per point; the caller destroys the surface. Null for a size below 1 x 1. */
cairo_surface_t* RenderViewToSurface(KorvelEditorView& view, int width, int height);
/* The same, written to `path` as PNG. */
bool RenderViewToPNG(KorvelEditorView& view, int width, int height, const std::string& path);

}  // namespace korvel::editor
