#include "host/EditorWindows.h"

#include <cstdlib>

#include "host/MainLoop.h"
#include "host/Session.h"

namespace korvel::host {
namespace {

bool IsSet(const char* variable) {
  const char* value = std::getenv(variable);
  return value && *value;
}

}  // namespace

void ConnectEditorDisplay() {
  if (!IsSet("DISPLAY") && !IsSet("WAYLAND_DISPLAY"))
    throw EditorError(
        "--editor needs a display, but neither DISPLAY nor WAYLAND_DISPLAY is set "
        "(use `korvel-host snapshot` to render the editors without one)");
  if (!gtk_init_check())
    throw EditorError(
        "--editor cannot open the display (DISPLAY=" +
        std::string(IsSet("DISPLAY") ? std::getenv("DISPLAY") : "") + ", WAYLAND_DISPLAY=" +
        std::string(IsSet("WAYLAND_DISPLAY") ? std::getenv("WAYLAND_DISPLAY") : "") + ")");
}

EditorWindows::EditorWindows(Session& session, MainLoop& loop) : loop_(loop) {
  for (size_t i = 0; i < session.tracks().size(); ++i) {
    const Track& track = *session.tracks()[i];
    std::string title =
        track.name.empty() ? "Korvel \u2014 Track " + std::to_string(i + 1) : track.name;
    windows_.push_back(std::make_unique<EditorWindow>(MakeEditorView(*track.instance), title));
  }
  opened_ = std::chrono::steady_clock::now();
}

EditorWindows::~EditorWindows() {
  windows_.clear();
  // Let GTK finish tearing the windows down; bounded, since the plug-in's own sources may
  // keep the context busy.
  for (int i = 0; i < 100 && g_main_context_pending(nullptr); ++i)
    g_main_context_iteration(nullptr, FALSE);
}

bool EditorWindows::allClosed() const {
  for (const auto& w : windows_)
    if (w->isOpen()) return false;
  return true;
}

void EditorWindows::runUntilClosed(double limitSeconds) {
  auto done = [this] { return allClosed(); };
  if (limitSeconds <= 0) {
    loop_.runUntil(done);
    return;
  }
  auto limit = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(limitSeconds));
  auto left = opened_ + limit - std::chrono::steady_clock::now();
  if (left > std::chrono::steady_clock::duration::zero()) loop_.runUntil(done, left);
}

}  // namespace korvel::host
