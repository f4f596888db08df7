// tolvane: a stand-in for the companion desktop application. It publishes the MIDI
// destination the plug-in instances look for, prints what they send, keeps their
// connection files and names the selected track. Commands come one per line on standard
// input (select TRACK, language CODE, status, tracks, quit) or as one-shot subcommands.
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>

#include <CLI/CLI.hpp>

#include <filesystem>

#include "companion/Companion.h"
#include "companion/DesktopEntry.h"
#include "companion/LinkMessages.h"
#include "companion/Session.h"
#include "interface/CompanionProtocol.h"
#include "link/SharedPaths.h"
#include "platform/MIDIPacketList.h"
#include "platform/MIDIServices.h"

namespace {

constexpr int32_t kDestinationUniqueID = korvel::link::kCompanionDestinationID;
std::atomic<bool> gStop{false};

// Lines are read through pipes by scripts and tests: each goes out whole and at once.
std::mutex gOutputMutex;
void PrintLine(const std::string& line) {
  std::lock_guard lock(gOutputMutex);
  std::fputs(line.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}
void PrintError(const std::string& line) {
  std::lock_guard lock(gOutputMutex);
  std::fprintf(stderr, "tolvane: %s\n", line.c_str());
}

std::string Trim(const std::string& text) {
  size_t begin = text.find_first_not_of(" \t\r\n");
  if (begin == std::string::npos) return "";
  size_t end = text.find_last_not_of(" \t\r\n");
  return text.substr(begin, end - begin + 1);
}

bool RunSelect(tolvane::Companion& companion, const std::string& track) {
  if (!companion.select(track)) {
    PrintError("no track named \"" + track + "\"");
    return false;
  }
  PrintLine("selected " + track);
  return true;
}

bool RunLanguage(const std::string& code) {
  if (!tolvane::WriteLanguage(code)) {
    PrintError("cannot set language \"" + code + "\" (one of de en fr es ja ko zh)");
    return false;
  }
  PrintLine("language " + code);
  return true;
}

void RunStatus(const tolvane::Companion& companion) {
  for (const std::string& line : companion.statusLines()) PrintLine(line);
}

void RunTracks(const tolvane::Session& session) {
  for (const tolvane::Track& track : session.tracks) {
    std::string line = "track " + track.name + ":";
    for (const auto& a : track.articulations) line += " " + std::to_string(a.note) + "=" + a.name;
    PrintLine(line);
  }
}

// One interactive command; false when it asks to quit.
bool RunCommandLine(const std::string& raw, tolvane::Companion& companion,
                    const tolvane::Session& session) {
  std::string line = Trim(raw);
  if (line.empty() || line[0] == '#') return true;
  std::string verb = line.substr(0, line.find(' '));
  std::string argument = verb.size() < line.size() ? Trim(line.substr(verb.size())) : "";
  if (verb == "quit" || verb == "exit") return false;
  if (verb == "select") {
    RunSelect(companion, argument);
  } else if (verb == "language") {
    RunLanguage(argument);
  } else if (verb == "status") {
    RunStatus(companion);
  } else if (verb == "tracks") {
    RunTracks(session);
  } else {
    PrintError("unknown command \"" + verb + "\" (select, language, status, tracks, quit)");
  }
  return true;
}

// The MIDI side: a client "Tolvane" with the destination the instances search for.
class LinkEndpoint {
 public:
  explicit LinkEndpoint(tolvane::Companion& companion) : companion_(companion) {}
  ~LinkEndpoint() {
    if (client_) MIDIClientDispose(client_);
  }

  bool publish() {
    if (MIDIClientCreateWithBlock("Tolvane", &client_, nullptr) != 0) return false;
    auto read = [this](const MIDIPacketList* list) {
      const MIDIPacket* packet = list->packet;
      for (uint32_t i = 0; i < list->numPackets; ++i, packet = MIDIPacketNext(packet)) {
        auto message = decoder_.feed(packet->data, packet->length);
        if (!message) continue;
        companion_.handle(*message);
        PrintLine(tolvane::FormatLine(*message));
      }
    };
    if (MIDIDestinationCreateWithBlock(client_, "Tolvane Link In", &destination_, read) != 0)
      return false;
    return MIDIObjectSetIntegerProperty(destination_, kMIDIPropertyUniqueID,
                                        kDestinationUniqueID) == 0;
  }

 private:
  tolvane::Companion& companion_;
  tolvane::LinkDecoder decoder_;  // reader thread only
  MIDIClientRef client_ = 0;
  MIDIEndpointRef destination_ = 0;
};

int RunInteractive(tolvane::Companion& companion, const tolvane::Session& session,
                   bool keepRunning) {
  LinkEndpoint endpoint(companion);
  if (endpoint.publish()) {
    PrintLine("ready");
  } else {
    PrintError("no JACK server: the MIDI link is not available");
  }
  std::string pending;
  bool inputOpen = true;
  while (!gStop.load()) {
    if (!inputOpen) {
      if (!keepRunning) break;
      pause();  // until a signal
      continue;
    }
    pollfd in{STDIN_FILENO, POLLIN, 0};
    int ready = poll(&in, 1, 200);
    if (ready <= 0) continue;
    char buffer[4096];
    ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
    if (n <= 0) {
      inputOpen = false;
      if (!pending.empty() && !RunCommandLine(pending, companion, session)) break;
      continue;
    }
    pending.append(buffer, static_cast<size_t>(n));
    size_t newline;
    bool quit = false;
    while (!quit && (newline = pending.find('\n')) != std::string::npos) {
      std::string line = pending.substr(0, newline);
      pending.erase(0, newline + 1);
      quit = !RunCommandLine(line, companion, session);
    }
    if (quit) break;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "tolvane: the companion stand-in for Korvel (MIDI link, connection files, active track)"};
  std::string sessionPath;
  bool keepRunning = false;
  app.add_option("-s,--session", sessionPath,
                 "session file (tracks, articulations, selected track)");

  auto* run = app.add_subcommand(
      "run", "publish the link destination and read commands from standard input (default)");
  run->add_flag("--keep-running", keepRunning,
                "keep running after standard input ends, until a signal");
  std::string track;
  auto* select = app.add_subcommand(
      "select", "make TRACK the selected track, name it in the active-track files");
  select->add_option("TRACK", track, "track name")->required();
  std::string language;
  auto* languageCommand =
      app.add_subcommand("language", "set the companion's user-interface language");
  languageCommand->add_option("CODE", language, "de, en, fr, es, ja, ko or zh")->required();
  auto* status =
      app.add_subcommand("status", "list the instances the connection files show as connected");
  std::string bundle = TOLVANE_DEFAULT_BUNDLE;
  std::string applications = tolvane::UserApplicationsDirectory();
  auto* install = app.add_subcommand(
      "install", "write the desktop entry through which the plug-in finds the translations");
  install
      ->add_option("--bundle", bundle, "the companion bundle with Contents/Resources/<lang>.lproj")
      ->check(CLI::ExistingDirectory);
  install->add_option("--applications", applications, "where the desktop entry goes");
  app.require_subcommand(0, 1);
  CLI11_PARSE(app, argc, argv);

  tolvane::Session session;
  if (!sessionPath.empty()) {
    std::string error;
    auto loaded = tolvane::LoadSession(sessionPath, &error);
    if (!loaded) {
      PrintError("session " + sessionPath + ": " + error);
      return 2;
    }
    session = std::move(*loaded);
  }

  if (*languageCommand) return RunLanguage(language) ? 0 : 1;
  if (*install) {
    std::error_code ec;
    const std::string self = std::filesystem::read_symlink("/proc/self/exe", ec).string();
    auto entry = tolvane::InstallDesktopEntry(applications, bundle, self);
    if (!entry) {
      PrintError("could not write the desktop entry in " + applications);
      return 1;
    }
    PrintLine("installed " + *entry);
    return 0;
  }
  tolvane::Companion companion(session);
  if (*select) return RunSelect(companion, track) ? 0 : 1;
  if (*status) {
    for (const auto& instance : tolvane::ConnectedInstancesOnDisk()) {
      PrintLine("UID " + korvel::link::UIDText(instance.uid) + " connected to \"" + instance.track +
                "\"");
    }
    return 0;
  }

  struct sigaction action {};
  action.sa_handler = [](int) { gStop.store(true); };
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  return RunInteractive(companion, session, keepRunning);
}
