// The companion's side of the link with the plug-in instances: it answers connect and
// disconnect requests by writing the instances' connection files, keeps which UID is
// linked to which track and when each instance was last heard, and names its selected
// track in the active-track files, posting the track-changed notification.
//
// Every method may be called from any thread: the MIDI reader thread delivers messages
// while the command line selects tracks.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "companion/LinkMessages.h"
#include "companion/Session.h"
#include "interface/CompanionProtocol.h"

namespace tolvane {

using korvel::link::kTrackChangedNotification;

class Companion {
 public:
  using Clock = std::chrono::steady_clock;
  using Poster = std::function<bool(const std::string& name)>;

  /* `post` defaults to the platform's named notification. */
  explicit Companion(Session session, Poster post = {},
                     std::function<Clock::time_point()> now = {});

  /* Acts on a decoded message; events and untagged messages only count as signs of life
   * of their instance. */
  void handle(const LinkMessage& message);

  /* Makes `track` the selected track; false when the session has no such track. */
  bool select(const std::string& track);

  /* The UID most recently linked to `track`: the one remembered by this process, else a
   * connected instance found in the connection files; 0 when none. */
  uint32_t linkedUID(const std::string& track) const;

  /* One line per known instance, after a line naming the selected track. */
  std::vector<std::string> statusLines() const;

  /* An instance counts as alive when heard within this time (heartbeats come every
   * second). */
  static constexpr std::chrono::seconds kAliveWindow{3};

 private:
  struct Instance {
    std::string track;
    bool linked = false;
    std::optional<Clock::time_point> lastSeen;
  };

  void connect(uint32_t uid);
  void disconnect(uint32_t uid);
  void writeActiveTrack(const std::string& track, uint32_t uid);

  mutable std::mutex mutex_;
  Session session_;
  Poster post_;
  std::function<Clock::time_point()> now_;
  std::map<uint32_t, Instance> instances_;
  std::vector<uint32_t> linkOrder_;  // most recent link last
  uint32_t activeUID_ = 0;
};

/* Rewrites the connection file of `uid`: `change` edits the object read from the file
 * (an empty object when there is none or it is not a JSON object), so that every key it
 * does not touch is kept. False when the write fails. */
bool UpdateConnectionFile(uint32_t uid, const std::function<void(nlohmann::json&)>& change);

struct ConnectedInstance {
  uint32_t uid;
  std::string track;
  double timestamp;  // the instance's last write, 0 when unknown
};
/* The instances whose connection files say "connected". */
std::vector<ConnectedInstance> ConnectedInstancesOnDisk();

/* "~/Library/Application Support/Tolvane/current_language.txt" under $HOME. */
std::string LanguageFilePath();
/* Writes `code` (one of de en fr es ja ko zh) to the language file; false for another
 * code or a failed write. */
bool WriteLanguage(const std::string& code, const std::string& path = LanguageFilePath());

}  // namespace tolvane
