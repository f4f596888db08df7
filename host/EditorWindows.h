// The --editor windows of play and live: one GTK window per track, open from when the
// tracks exist until the user closes them all, a termination signal arrives or the
// --editor-seconds limit passes.
#pragma once

#include <chrono>
#include <memory>
#include <vector>

#include "host/EditorWindow.h"

namespace korvel::host {

class MainLoop;
class Session;

// Connects GTK to the display. Throws EditorError with a plain explanation when there is
// none (no DISPLAY or WAYLAND_DISPLAY, or the display cannot be opened). Call it before
// anything else of the session starts, so that a missing display costs nothing.
void ConnectEditorDisplay();

class EditorWindows {
 public:
  // `loop` must already wait in the GLib context. Windows are titled with the track's
  // name ("Korvel — Track N" for a track without one).
  EditorWindows(Session& session, MainLoop& loop);
  ~EditorWindows();  // closes what is still open, before the session's instances close

  bool allClosed() const;
  // Runs the loop until every window is closed, a termination signal arrives, or
  // `limitSeconds` after the windows opened (0: no limit).
  void runUntilClosed(double limitSeconds);

 private:
  MainLoop& loop_;
  std::vector<std::unique_ptr<EditorWindow>> windows_;
  std::chrono::steady_clock::time_point opened_;
};

}  // namespace korvel::host
