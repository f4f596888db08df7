// The host's project file: an XML property list that keeps, per track, the track's name
// and its instance's saved-state dictionary, the way a music host stores a project.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include "host/Plist.h"

namespace korvel::host {

class ProjectError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct ProjectTrack {
  std::string name;
  PlistPtr state;  // the saved-state dictionary
};

void SaveProject(const std::string& path, const std::vector<ProjectTrack>& tracks);
// Throws ProjectError for a missing file or one that is not a project.
std::vector<ProjectTrack> LoadProject(const std::string& path);

}  // namespace korvel::host
