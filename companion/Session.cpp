#include "companion/Session.h"

#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

namespace tolvane {

const Track* Session::find(const std::string& name) const {
  for (const Track& track : tracks) {
    if (track.name == name) return &track;
  }
  return nullptr;
}

std::optional<Session> ParseSession(const std::string& text, std::string* error) {
  auto fail = [&](const std::string& why) -> std::optional<Session> {
    if (error) *error = why;
    return std::nullopt;
  };
  nlohmann::json document = nlohmann::json::parse(text, nullptr, false);
  if (document.is_discarded() || !document.is_object()) return fail("not a JSON object");
  Session session;
  if (auto tracks = document.find("tracks"); tracks != document.end()) {
    if (!tracks->is_array()) return fail("\"tracks\" is not an array");
    for (const auto& entry : *tracks) {
      if (!entry.is_object() || !entry.contains("name") || !entry["name"].is_string()) {
        return fail("every track needs a \"name\" string");
      }
      Track track;
      track.name = entry["name"].get<std::string>();
      if (auto list = entry.find("articulations"); list != entry.end() && list->is_array()) {
        for (const auto& item : *list) {
          if (!item.is_object() || !item.contains("note") || !item["note"].is_number_integer()) {
            return fail("articulation of \"" + track.name + "\" needs an integer \"note\"");
          }
          int note = item["note"].get<int>();
          if (note < 0 || note > 127)
            return fail("articulation note out of 0..127 in \"" + track.name + "\"");
          std::string name = item.contains("name") && item["name"].is_string()
                                 ? item["name"].get<std::string>()
                                 : "";
          track.articulations.push_back({note, name});
        }
      }
      session.tracks.push_back(std::move(track));
    }
  }
  if (auto selected = document.find("selectedTrack");
      selected != document.end() && selected->is_string()) {
    session.selectedTrack = selected->get<std::string>();
  }
  return session;
}

std::optional<Session> LoadSession(const std::string& path, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    if (error) *error = "cannot read " + path;
    return std::nullopt;
  }
  std::stringstream text;
  text << in.rdbuf();
  return ParseSession(text.str(), error);
}

}  // namespace tolvane
