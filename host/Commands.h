// The subcommands of korvel-host, one file each. Every command returns the process's
// exit status and reports its errors itself.
#pragma once

#include <string>
#include <vector>

#include "host/PluginBundle.h"

namespace korvel::host {

// What play and live share: which bundle, and the project files to load and save.
struct SessionOptions {
  std::string bundlePath;
  std::vector<std::string> loadProjects;  // in order; the same file may appear twice
  bool duplicate = false;                 // load every project a second time
  std::string saveProject;                // "" = do not save
  double waitLinkedSeconds = 0;           // before playing, wait for every track to link
};

struct PlayOptions {
  SessionOptions session;
  std::string midiFile;
  int tracks = 0;      // 0: one per MIDI track that holds channel messages
  double speed = 1.0;  // 0: as fast as possible
};

struct LiveOptions {
  SessionOptions session;
};

struct ValidateOptions {
  std::string bundlePath;
  int cycles = 100;
};

int RunPlay(const PlayOptions& options);
int RunLive(const LiveOptions& options);
int RunValidate(const ValidateOptions& options);

}  // namespace korvel::host
