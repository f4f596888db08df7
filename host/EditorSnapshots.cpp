#include "host/EditorSnapshots.h"

#include <filesystem>
#include <system_error>

#include "host/EditorView.h"
#include "host/Session.h"

namespace korvel::host {

std::vector<std::string> WriteEditorSnapshots(Session& session, const SnapshotOptions& options) {
  std::error_code ec;
  std::filesystem::create_directories(options.directory, ec);
  if (ec) throw EditorError("cannot create " + options.directory + ": " + ec.message());

  std::vector<std::string> paths;
  for (size_t i = 0; i < session.tracks().size(); ++i) {
    std::unique_ptr<EditorView> view = MakeEditorView(*session.tracks()[i]->instance);
    // One refresh as the window's timer would do it: the instance's live state, then the
    // connection file.
    view->tick();
    std::string path = options.directory + "/track-" + std::to_string(i + 1) + ".png";
    if (!view->renderPNG(options.width, options.height, path))
      throw EditorError("cannot render the editor of track " + std::to_string(i + 1) + " to " +
                        path);
    paths.push_back(path);
  }
  return paths;
}

}  // namespace korvel::host
