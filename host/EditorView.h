// The plug-in's editor as this host sees it: found the way a music host finds a plug-in's
// view (the instance's CocoaUI description names a bundle and a factory class), made
// through the factory's plain-C table, and released before its instance closes.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>

#include "editor/ViewABI.h"

namespace korvel::host {

class PluginInstance;

class EditorError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// One view; owns it and releases it on destruction. Main thread only.
class EditorView {
 public:
  EditorView(const KorvelViewInterface& ops, KorvelView* view) : ops_(ops), view_(view) {}
  ~EditorView() { ops_.release(view_); }
  EditorView(const EditorView&) = delete;
  EditorView& operator=(const EditorView&) = delete;

  KorvelViewRect frame() const { return ops_.frame(view_); }
  void setFrameSize(double width, double height) { ops_.setFrameSize(view_, width, height); }
  void draw(cairo_t* cr) { ops_.draw(view_, cr); }
  void mouseDown(double x, double y) { ops_.mouseDown(view_, x, y); }
  void attach(const KorvelWindowServices* services) { ops_.attachToWindow(view_, services); }
  void detach() { ops_.detachFromWindow(view_); }
  void tick() { ops_.tick(view_); }
  bool renderPNG(int width, int height, const std::string& path) {
    return ops_.renderPNG(view_, width, height, path.c_str()) == 0;
  }

 private:
  const KorvelViewInterface& ops_;
  KorvelView* view_;
};

// The smallest size the plug-in's views take, asked of the factory for every view.
inline constexpr double kPreferredEditorWidth = 340;
inline constexpr double kPreferredEditorHeight = 500;

// Asks `instance` for its view description (CocoaUI property, global scope), loads the
// module of the bundle it names, looks the factory up by the class name and makes a view
// for the instance. Throws EditorError saying which step failed.
std::unique_ptr<EditorView> MakeEditorView(const PluginInstance& instance);

}  // namespace korvel::host
