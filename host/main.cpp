// korvel-host: a small host that loads the Korvel plug-in bundle the way a music host
// does (Info.plist, factory, plug-in interface), plays MIDI through it, runs it live
// between JACK ports, keeps projects, shows or renders the plug-in's editors, and
// validates the bundle.
#include <CLI/CLI.hpp>

#include <exception>
#include <iostream>

#include "host/Commands.h"
#include "host/MainLoop.h"

using namespace korvel::host;

namespace {

void AddSessionOptions(CLI::App* cmd, SessionOptions& o) {
  cmd->add_option("--bundle", o.bundlePath, "plug-in bundle (default: the built Korvel.component)");
  cmd->add_option("--load", o.loadProjects,
                  "restore tracks from a project; may be given more than once")
      ->check(CLI::ExistingFile);
  cmd->add_flag("--duplicate", o.duplicate,
                "load every project a second time (its UIDs are then taken)");
  cmd->add_option("--save", o.saveProject, "save the tracks to a project at the end");
  cmd->add_option("--wait-linked", o.waitLinkedSeconds,
                  "before starting, wait up to this many seconds for every track to link")
      ->check(CLI::NonNegativeNumber);
}

void AddEditorOptions(CLI::App* cmd, SessionOptions& o) {
  cmd->add_flag("--editor", o.editor, "open the plug-in's editor of every track in a window");
  cmd->add_option("--editor-seconds", o.editorSeconds,
                  "close the editor windows this many seconds after they open (default: when "
                  "the user closes them)")
      ->check(CLI::NonNegativeNumber);
}

}  // namespace

int main(int argc, char** argv) {
  BlockTerminationSignals();

  CLI::App app{"korvel-host: reference host and validator for the Korvel plug-in"};
  app.require_subcommand(1);

  PlayOptions play;
  CLI::App* playCmd = app.add_subcommand("play", "play a Standard MIDI File through Korvel");
  playCmd->add_option("file", play.midiFile, "MIDI file (format 0 or 1)")
      ->required()
      ->check(CLI::ExistingFile);
  playCmd
      ->add_option("--tracks", play.tracks,
                   "number of tracks (instances); MIDI track k plays on track k mod N")
      ->check(CLI::PositiveNumber);
  playCmd->add_option("--speed", play.speed, "tempo factor; 0 plays as fast as possible")
      ->check(CLI::NonNegativeNumber);
  playCmd->add_option("--repeat", play.repeat, "play the file this many times in a row")
      ->check(CLI::PositiveNumber);
  playCmd->add_flag("--commands", play.commands,
                    "read commands from standard input while playing (connect N, disconnect N, "
                    "state, snapshot DIR, quit) and keep running until quit or the input ends");
  AddSessionOptions(playCmd, play.session);
  AddEditorOptions(playCmd, play.session);

  LiveOptions live;
  CLI::App* liveCmd =
      app.add_subcommand("live", "JACK MIDI In -> Korvel -> JACK MIDI Out until Ctrl-C");
  AddSessionOptions(liveCmd, live.session);
  AddEditorOptions(liveCmd, live.session);

  PlayOptions snapshot;
  SnapshotOptions snapshotOut;
  CLI::App* snapshotCmd = app.add_subcommand(
      "snapshot", "render every track's editor to DIR/track-<n>.png, without a display");
  snapshotCmd->add_option("--out", snapshotOut.directory, "directory for the PNG files")
      ->required();
  snapshotCmd->add_option("file", snapshot.midiFile, "MIDI file to play first, as fast as possible")
      ->check(CLI::ExistingFile);
  snapshotCmd->add_option("--tracks", snapshot.tracks, "number of tracks (instances)")
      ->check(CLI::PositiveNumber);
  snapshotCmd->add_option("--width", snapshotOut.width, "image width in pixels (points)")
      ->check(CLI::PositiveNumber);
  snapshotCmd->add_option("--height", snapshotOut.height, "image height in pixels (points)")
      ->check(CLI::PositiveNumber);
  AddSessionOptions(snapshotCmd, snapshot.session);

  ValidateOptions validate;
  CLI::App* validateCmd = app.add_subcommand("validate", "check a plug-in bundle");
  validateCmd->add_option("bundle", validate.bundlePath, "bundle (default: the built one)");
  validateCmd->add_option("--cycles", validate.cycles, "open/close cycles of the leak check")
      ->check(CLI::PositiveNumber);
  validateCmd->add_flag("--stress", validate.stress,
                        "also hammer a few instances from several threads at once");
  validateCmd->add_option("--seconds", validate.stressSeconds, "length of the stress phase")
      ->check(CLI::PositiveNumber);

  ScaleOptions scale;
  CLI::App* scaleCmd = app.add_subcommand(
      "scale", "open many linked instances and measure open time, idle cost and latency");
  scaleCmd->add_option("--bundle", scale.bundlePath, "plug-in bundle (default: the built one)");
  scaleCmd->add_option("--instances", scale.instances, "number of instances")
      ->check(CLI::PositiveNumber);
  scaleCmd->add_option("--idle-seconds", scale.idleSeconds, "length of the idle measurement")
      ->check(CLI::PositiveNumber);
  scaleCmd
      ->add_option("--latency-events", scale.latencyEvents,
                   "events timed from the active track to the companion")
      ->check(CLI::NonNegativeNumber);
  scaleCmd->add_option("--companion", scale.companion,
                       "program that publishes the companion's MIDI destination and reports "
                       "what arrives (default: none, no latency figures)");
  scaleCmd->add_flag("--json", scale.json, "end with the figures as one JSON line");

  CLI11_PARSE(app, argc, argv);

  try {
    if (*playCmd) {
      if (play.session.bundlePath.empty()) play.session.bundlePath = DefaultBundlePath();
      return RunPlay(play);
    }
    if (*snapshotCmd) {
      if (snapshot.session.bundlePath.empty()) snapshot.session.bundlePath = DefaultBundlePath();
      snapshot.speed = 0;
      snapshot.snapshot = snapshotOut;
      return RunPlay(snapshot);
    }
    if (*liveCmd) {
      if (live.session.bundlePath.empty()) live.session.bundlePath = DefaultBundlePath();
      return RunLive(live);
    }
    if (*scaleCmd) {
      if (scale.bundlePath.empty()) scale.bundlePath = DefaultBundlePath();
      return RunScale(scale);
    }
    if (validate.bundlePath.empty()) validate.bundlePath = DefaultBundlePath();
    return RunValidate(validate);
  } catch (const std::exception& e) {
    std::cerr << "korvel-host: " << e.what() << "\n";
    return 1;
  }
}
