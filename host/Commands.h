// The subcommands of korvel-host, one file each. Every command returns the process's
// exit status and reports its errors itself.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "host/EditorSnapshots.h"
#include "host/PluginBundle.h"

namespace korvel::host {

// What play and live share: which bundle, and the project files to load and save.
struct SessionOptions {
  std::string bundlePath;
  std::vector<std::string> loadProjects;  // in order; the same file may appear twice
  bool duplicate = false;                 // load every project a second time
  std::string saveProject;                // "" = do not save
  double waitLinkedSeconds = 0;           // before playing, wait for every track to link
  bool editor = false;                    // one GTK editor window per track
  double editorSeconds = 0;               // close the windows this long after they open (0: never)
};

struct PlayOptions {
  SessionOptions session;
  std::string midiFile;   // "" (snapshot only): no file, nothing is played
  int tracks = 0;         // 0: one per MIDI track that holds channel messages
  double speed = 1.0;     // 0: as fast as possible
  int repeat = 1;         // play the file this many times in a row
  bool commands = false;  // take commands on standard input; run until "quit" or its end
  std::optional<SnapshotOptions> snapshot;  // after playing, render each track's editor
};

struct LiveOptions {
  SessionOptions session;
};

struct ValidateOptions {
  std::string bundlePath;
  int cycles = 100;
  bool stress = false;       // add the stress phase after the others
  double stressSeconds = 5;  // its length
};

// Many instances in this one process, set up like a large template, and what they cost.
struct ScaleOptions {
  std::string bundlePath;
  int instances = 500;
  double idleSeconds = 10;  // length of the idle measurement
  int latencyEvents = 50;   // events timed from the active track to the companion
  std::string companion;    // program publishing the companion's destination ("" = none)
  bool json = false;        // end with the figures as one JSON line
};

int RunPlay(const PlayOptions& options);
int RunLive(const LiveOptions& options);
int RunValidate(const ValidateOptions& options);
int RunScale(const ScaleOptions& options);

}  // namespace korvel::host
