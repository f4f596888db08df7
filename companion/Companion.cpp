#include "companion/Companion.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>

#include "link/SharedJSON.h"
#include "link/SharedPaths.h"
#include "platform/Notify.h"
#include "platform/SafeFile.h"

namespace tolvane {

bool UpdateConnectionFile(uint32_t uid, const std::function<void(nlohmann::json&)>& change) {
  std::string path = korvel::link::ConnectionFilePath(uid);
  nlohmann::json document = nlohmann::json::object();
  if (auto text = korvel::platform::ReadSharedFile(path)) {
    if (auto existing = korvel::link::ParseJSONObject(*text)) document = std::move(*existing);
  }
  change(document);
  return korvel::platform::WriteFileAtomically(path, document.dump());
}

std::vector<ConnectedInstance> ConnectedInstancesOnDisk() {
  std::vector<ConnectedInstance> found;
  std::filesystem::path directory =
      std::filesystem::path(korvel::link::ConnectionFilePath(0)).parent_path();
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(directory, ec)) {
    std::string name = entry.path().filename().string();
    unsigned uid = 0;
    char tail[8] = {};
    if (std::sscanf(name.c_str(), "korvel_connection_%8X.%5s", &uid, tail) != 2 ||
        std::string(tail) != "json")
      continue;
    if (entry.path().string() != korvel::link::ConnectionFilePath(uid)) continue;
    auto text = korvel::platform::ReadSharedFile(entry.path().string());
    if (!text) continue;
    auto document = korvel::link::ParseJSONObject(*text);
    if (!document) continue;
    const std::string* status = korvel::link::StringMember(*document, "status");
    const std::string* track = korvel::link::StringMember(*document, "trackName");
    if (!status || *status != "connected" || !track) continue;
    double timestamp = 0;
    if (auto t = document->find("timestamp"); t != document->end() && t->is_number())
      timestamp = t->get<double>();
    found.push_back({uid, *track, timestamp});
  }
  return found;
}

std::string LanguageFilePath() {
  const char* home = std::getenv("HOME");
  return std::string(home ? home : "") +
         "/Library/Application Support/Tolvane/current_language.txt";
}

bool WriteLanguage(const std::string& code, const std::string& path) {
  static const std::set<std::string> kSupported = {"de", "en", "fr", "es", "ja", "ko", "zh"};
  if (!kSupported.count(code)) return false;
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
  return korvel::platform::WriteFileAtomically(path, code + "\n");
}

Companion::Companion(Session session, Poster post, std::function<Clock::time_point()> now)
    : session_(std::move(session)), post_(std::move(post)), now_(std::move(now)) {
  if (!post_) post_ = [](const std::string& name) { return korvel::platform::NotifyPost(name); };
  if (!now_) now_ = [] { return Clock::now(); };
}

void Companion::handle(const LinkMessage& message) {
  if (message.kind == LinkMessage::Kind::Untagged) return;
  std::lock_guard lock(mutex_);
  instances_[message.uid].lastSeen = now_();
  if (message.kind != LinkMessage::Kind::Command) return;
  switch (static_cast<LinkCommand>(message.command)) {
    case LinkCommand::Connect:
      connect(message.uid);
      break;
    case LinkCommand::Disconnect:
      disconnect(message.uid);
      break;
    case LinkCommand::Heartbeat:
      break;
  }
}

// Links the instance with the selected track. As that track is the active one, the
// instance is named in the active-track files too, so that forwarding starts at once.
void Companion::connect(uint32_t uid) {
  const Track* track = session_.selected();
  std::string trackName = track ? track->name : "";
  UpdateConnectionFile(uid, [&](nlohmann::json& document) {
    nlohmann::json notes = nlohmann::json::array();
    nlohmann::json names = nlohmann::json::array();
    if (track) {
      for (const Articulation& a : track->articulations) {
        notes.push_back(a.note);
        names.push_back(a.name);
      }
    }
    document["status"] = "connected";
    document["trackName"] = trackName;
    document["articulationNotes"] = std::move(notes);
    document["articulationNames"] = std::move(names);
  });
  Instance& instance = instances_[uid];
  instance.track = trackName;
  instance.linked = true;
  linkOrder_.erase(std::remove(linkOrder_.begin(), linkOrder_.end(), uid), linkOrder_.end());
  linkOrder_.push_back(uid);
  if (track) writeActiveTrack(trackName, uid);
}

void Companion::disconnect(uint32_t uid) {
  UpdateConnectionFile(uid, [](nlohmann::json& document) { document["status"] = "disconnected"; });
  Instance& instance = instances_[uid];
  instance.linked = false;
  linkOrder_.erase(std::remove(linkOrder_.begin(), linkOrder_.end(), uid), linkOrder_.end());
  if (activeUID_ == uid) writeActiveTrack(session_.selectedTrack, 0);
}

void Companion::writeActiveTrack(const std::string& track, uint32_t uid) {
  korvel::platform::WriteFileAtomically(korvel::link::ActiveUIDFilePath(),
                                        uid ? korvel::link::UIDText(uid) : "0");
  korvel::platform::WriteFileAtomically(korvel::link::ActiveTrackFilePath(), track);
  activeUID_ = uid;
  post_(kTrackChangedNotification);
}

uint32_t Companion::linkedUID(const std::string& track) const {
  {
    std::lock_guard lock(mutex_);
    for (auto it = linkOrder_.rbegin(); it != linkOrder_.rend(); ++it) {
      auto instance = instances_.find(*it);
      if (instance != instances_.end() && instance->second.linked &&
          instance->second.track == track)
        return *it;
    }
  }
  uint32_t best = 0;
  double bestTime = -1;
  for (const ConnectedInstance& instance : ConnectedInstancesOnDisk()) {
    if (instance.track == track && instance.timestamp > bestTime) {
      best = instance.uid;
      bestTime = instance.timestamp;
    }
  }
  return best;
}

bool Companion::select(const std::string& track) {
  {
    std::lock_guard lock(mutex_);
    if (!session_.find(track)) return false;
  }
  uint32_t uid = linkedUID(track);
  std::lock_guard lock(mutex_);
  session_.selectedTrack = track;
  writeActiveTrack(track, uid);
  return true;
}

std::vector<std::string> Companion::statusLines() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> lines;
  lines.push_back(
      "selected " +
      (session_.selectedTrack.empty() ? std::string("(none)") : session_.selectedTrack) +
      " active UID " + korvel::link::UIDText(activeUID_));
  Clock::time_point now = now_();
  for (const auto& [uid, instance] : instances_) {
    std::string line = "UID " + korvel::link::UIDText(uid) +
                       (instance.linked ? " linked to \"" + instance.track + "\"" : " not linked");
    if (instance.lastSeen) {
      auto age = std::chrono::duration<double>(now - *instance.lastSeen).count();
      char seen[64];
      std::snprintf(seen, sizeof seen, " %s (last heard %.1f s ago)",
                    now - *instance.lastSeen <= kAliveWindow ? "alive" : "silent", age);
      line += seen;
    }
    lines.push_back(line);
  }
  return lines;
}

}  // namespace tolvane
