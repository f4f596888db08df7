// The editor's reading of its instance's connection file: a link that the companion
// application made (or dropped) shows at once, and a new link is passed on to the
// instance.
#include <algorithm>

#include "editor/KorvelEditorView.h"
#include "link/SharedJSON.h"
#include "link/SharedPaths.h"
#include "platform/SafeFile.h"

namespace korvel::editor {
namespace {

using nlohmann::json;

/* The list under `key` when it is a non-empty array; lists of any other shape change
 * nothing. */
const json* NonEmptyArray(const json& object, const char* key) {
  auto it = object.find(key);
  if (it == object.end() || !it->is_array() || it->empty()) return nullptr;
  return &*it;
}

}  // namespace

void KorvelEditorView::pollConnectionFile() {
  const std::optional<std::string> text =
      platform::ReadSharedFile(link::ConnectionFilePath(_uniqueID));
  if (!text) return;
  const std::optional<json> document = link::ParseJSONObject(*text);
  if (!document) return;

  const std::string* status = link::StringMember(*document, "status");
  if (status == nullptr) return;

  if (*status == "connected") {
    if (!_isConnected) {
      _isConnected = true;
      const std::string* name = link::StringMember(*document, "trackName");
      // The instance keeps a name only up to its first NUL: show the same.
      _trackName = name != nullptr ? name->substr(0, name->find('\0')) : std::string();
      if (_audioUnit != nullptr) {
        const uint32_t connected = 1;
        setProperty(kKorvelProperty_Connected, &connected, sizeof connected);
        setProperty(kKorvelProperty_TrackName, _trackName.data(),
                    static_cast<uint32_t>(_trackName.size()));
      }
    }

    if (const json* names = NonEmptyArray(*document, "articulationNames")) {
      std::vector<std::string> taken;
      taken.reserve(names->size());
      // A name that is not text is kept as an empty name, so that names and notes stay
      // paired by index.
      for (const json& name : *names) {
        taken.push_back(name.is_string() ? name.get<std::string>() : std::string());
      }
      _articulationNames = std::move(taken);
    }

    if (const json* notes = NonEmptyArray(*document, "articulationNotes")) {
      std::vector<int32_t> taken;
      taken.reserve(notes->size());
      for (const json& note : *notes) taken.push_back(link::IntegerValue(note));
      _articulationNotes = std::move(taken);
      if (_audioUnit != nullptr) {
        const size_t sent = std::min<size_t>(_articulationNotes.size(), kKorvelMaxArticulations);
        setProperty(kKorvelProperty_ArticulationNotes, _articulationNotes.data(),
                    static_cast<uint32_t>(sent * sizeof(int32_t)));
      }
    }
  } else if (*status == "disconnected") {
    _isConnected = false;
    _trackName.clear();
    _articulationNames.clear();
    _articulationNotes.clear();
  }
}

}  // namespace korvel::editor
