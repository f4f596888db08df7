#include "editor/OffscreenRender.h"

namespace korvel::editor {

cairo_surface_t* RenderViewToSurface(KorvelEditorView& view, int width, int height) {
  if (width < 1 || height < 1) return nullptr;
  cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height);
  if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS) {
    cairo_surface_destroy(surface);
    return nullptr;
  }
  view.setFrameSize(width, height);
  cairo_t* cr = cairo_create(surface);
  view.drawRect(cr);
  cairo_destroy(cr);
  cairo_surface_flush(surface);
  return surface;
}

bool RenderViewToPNG(KorvelEditorView& view, int width, int height, const std::string& path) {
  cairo_surface_t* surface = RenderViewToSurface(view, width, height);
  if (surface == nullptr) return false;
  const bool written = cairo_surface_write_to_png(surface, path.c_str()) == CAIRO_STATUS_SUCCESS;
  cairo_surface_destroy(surface);
  return written;
}

}  // namespace korvel::editor
