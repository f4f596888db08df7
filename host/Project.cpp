#include "host/Project.h"

#include <cstdio>
#include <fstream>
#include <sstream>

namespace korvel::host {
namespace {
constexpr const char* kFormatKey = "KorvelHostProject";
constexpr uint64_t kFormatVersion = 1;
}  // namespace

void SaveProject(const std::string& path, const std::vector<ProjectTrack>& tracks) {
  PlistPtr root(plist_new_dict());
  plist_dict_set_item(root.get(), kFormatKey, plist_new_uint(kFormatVersion));
  plist_t array = plist_new_array();
  for (const ProjectTrack& t : tracks) {
    plist_t entry = plist_new_dict();
    plist_dict_set_item(entry, "name", plist_new_string(t.name.c_str()));
    plist_dict_set_item(entry, "state", plist_copy(t.state.get()));
    plist_array_append_item(array, entry);
  }
  plist_dict_set_item(root.get(), "tracks", array);

  char* xml = nullptr;
  uint32_t length = 0;
  plist_to_xml(root.get(), &xml, &length);
  if (!xml) throw ProjectError(path + ": cannot serialise the project");
  // Written next to the target and renamed over it, so an interrupted save never leaves
  // half a project behind.
  std::string temp = path + ".tmp";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out.write(xml, length);
    out.close();
    plist_to_xml_free(xml);
    if (!out) throw ProjectError(path + ": cannot write the project");
  }
  if (std::rename(temp.c_str(), path.c_str()) != 0) {
    std::remove(temp.c_str());
    throw ProjectError(path + ": cannot write the project");
  }
}

std::vector<ProjectTrack> LoadProject(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw ProjectError(path + ": cannot open the project");
  std::stringstream text;
  text << in.rdbuf();
  std::string data = text.str();
  plist_t root = nullptr;
  plist_from_memory(data.data(), static_cast<uint32_t>(data.size()), &root);
  PlistPtr owner(root);
  if (!root || plist_get_node_type(root) != PLIST_DICT || !PlistDictItem(root, kFormatKey))
    throw ProjectError(path + ": not a korvel-host project");
  plist_t array = PlistDictItem(root, "tracks");
  if (!array || plist_get_node_type(array) != PLIST_ARRAY)
    throw ProjectError(path + ": the project has no track list");
  std::vector<ProjectTrack> tracks;
  for (uint32_t i = 0; i < plist_array_get_size(array); ++i) {
    plist_t entry = plist_array_get_item(array, i);
    plist_t state = PlistDictItem(entry, "state");
    if (!state || plist_get_node_type(state) != PLIST_DICT)
      throw ProjectError(path + ": track " + std::to_string(i + 1) + " has no saved state");
    tracks.push_back(
        {PlistString(PlistDictItem(entry, "name")).value_or(""), PlistPtr(plist_copy(state))});
  }
  return tracks;
}

}  // namespace korvel::host
