// Each track's editor painted to a PNG file, without any display: the view is made as for
// a window, refreshed once from its instance and rendered off screen.
#pragma once

#include <string>
#include <vector>

namespace korvel::host {

class Session;

struct SnapshotOptions {
  std::string directory;  // created when missing
  int width = 340;
  int height = 500;
};

// Writes <directory>/track-<n>.png for every track (n from 1) and returns the paths.
// Throws EditorError when a view cannot be made or a file cannot be written.
std::vector<std::string> WriteEditorSnapshots(Session& session, const SnapshotOptions& options);

}  // namespace korvel::host
