/*
 * The instance's side of its connection file, the JSON record of its link that it shares
 * with the companion application. The companion owns the articulation keys and may add
 * keys of its own; the writer therefore always starts from what is in the file and only
 * replaces its own keys. Everything read here comes from a file any local user could
 * have planted, and nothing here may throw into the component.
 */
#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "link/ChangedFileCache.h"
#include "link/CompanionLink.h"
#include "link/SharedJSON.h"
#include "link/SharedPaths.h"
#include "platform/Bundle.h"
#include "platform/SafeFile.h"
#include "platform/UnicodeText.h"
#include "record/KorvelInstance.h"

/* What the reader takes from the file, kept so that an unchanged file is not parsed again
 * and acts on the instance exactly as a fresh parse of it would. */
struct ConnectionFileContents {
  enum class Status { Other, Connected, Disconnected };
  Status status = Status::Other;
  std::string trackName;       // with "connected": the non-empty name, or empty for none
  std::vector<int32_t> notes;  // empty: the file leaves the articulation list alone
};

struct KR_ConnectionFileCache : korvel::link::ChangedFileCache<ConnectionFileContents> {};

namespace {

using nlohmann::json;

std::optional<ConnectionFileContents> ParseConnectionFile(const std::string& text) {
  auto document = korvel::link::ParseJSONObject(text);
  if (!document) return std::nullopt;
  ConnectionFileContents contents;
  if (const std::string* status = korvel::link::StringMember(*document, "status")) {
    if (*status == "connected") {
      contents.status = ConnectionFileContents::Status::Connected;
      if (const std::string* name = korvel::link::StringMember(*document, "trackName"))
        contents.trackName = *name;
    } else if (*status == "disconnected") {
      contents.status = ConnectionFileContents::Status::Disconnected;
    }
  }
  auto notes = document->find("articulationNotes");
  if (notes != document->end() && notes->is_array() && !notes->empty()) {
    const size_t count = std::min<size_t>(notes->size(), kKorvelMaxArticulations);
    for (size_t i = 0; i < count; ++i)
      contents.notes.push_back(korvel::link::IntegerValue((*notes)[i]));
  }
  return contents;
}

KR_ConnectionFileCache& CacheOf(KorvelInstance* inst) {
  std::atomic_ref<KR_ConnectionFileCache*> slot(inst->connectionFileCache);
  KR_ConnectionFileCache* cache = slot.load(std::memory_order_acquire);
  if (cache) return *cache;
  // The timer's tick and the notification handler may both get here first.
  std::atomic_ref<void (*)(KorvelInstance*)>(inst->freeLinkState)
      .store(KR_FreeConnectionFileCache, std::memory_order_relaxed);
  auto* fresh = new KR_ConnectionFileCache;
  if (slot.compare_exchange_strong(cache, fresh, std::memory_order_acq_rel)) return *fresh;
  delete fresh;
  return *cache;
}

std::optional<json> ReadConnectionObject(uint32_t uid) {
  auto text = korvel::platform::ReadSharedFile(korvel::link::ConnectionFilePath(uid));
  if (!text) return std::nullopt;
  return korvel::link::ParseJSONObject(*text);
}

/* "2.0 (41)", or whichever of the two is known; nothing when neither is. */
std::optional<std::string> PluginVersion() {
  auto bundle = korvel::platform::OwnBundlePath();
  if (!bundle) return std::nullopt;
  auto info = korvel::platform::ReadBundleVersionInfo(*bundle);
  if (!info.shortVersion.empty() && !info.buildVersion.empty()) {
    return info.shortVersion + " (" + info.buildVersion + ")";
  }
  if (!info.shortVersion.empty()) return info.shortVersion;
  if (!info.buildVersion.empty()) return info.buildVersion;
  return std::nullopt;
}

double SecondsSince1970() {
  using namespace std::chrono;
  return duration<double>(system_clock::now().time_since_epoch()).count();
}

/* Whether `held` is what the instance keeps of the name in the file (at most 255 bytes of
 * whole characters, up to the first NUL): the companion's longer name then stays whole. */
bool IsHeldPartOf(const std::string& held, const std::string* inFile) {
  if (inFile == nullptr || held.empty()) return false;
  std::string_view kept(*inFile);
  kept = kept.substr(0, korvel::UTF8PrefixLength(kept, kKorvelTrackNameSize - 1));
  kept = kept.substr(0, kept.find('\0'));
  return kept == held;
}

void WriteConnectionFile(KorvelInstance* inst) {
  const uint32_t uid = KR_Load(inst->uniqueID);
  if (uid == 0) return;
  char name[kKorvelTrackNameSize];
  KR_CopyTrackName(inst, name);
  if (name[0] == '\0') return;
  std::string_view nameBytes(name, strnlen(name, sizeof name));
  std::string trackName = korvel::IsValidUTF8(nameBytes) ? std::string(nameBytes) : "";

  json document = ReadConnectionObject(uid).value_or(json::object());
  document["schemaVersion"] = 2;
  document["protocol"] = "korvel-v2";
  document["status"] = KR_Load(inst->isConnected) ? "connected" : "disconnected";
  if (!IsHeldPartOf(trackName, korvel::link::StringMember(document, "trackName"))) {
    document["trackName"] = std::move(trackName);
  }
  document["uid"] = uid;
  document["timestamp"] = SecondsSince1970();
  document["source"] = "audio-unit";
  if (auto version = PluginVersion()) document["pluginVersion"] = *version;

  // Every string in the document is valid UTF-8 (the parser insists on it and the name
  // was checked), so the replacing handler is only a guard against throwing.
  std::string bytes = document.dump(-1, ' ', false, json::error_handler_t::replace);
  korvel::platform::WriteFileAtomically(korvel::link::ConnectionFilePath(uid), bytes);
}

bool ReadConnectionFile(KorvelInstance* inst) {
  const uint32_t uid = KR_Load(inst->uniqueID);
  if (uid == 0) return false;
  auto contents = CacheOf(inst).read(korvel::link::ConnectionFilePath(uid), ParseConnectionFile);
  if (!contents) return false;

  if (contents->status == ConnectionFileContents::Status::Connected) {
    KR_Store(inst->isConnected, 1);
    const std::string& name = contents->trackName;
    if (!name.empty()) {
      // A longer name is cut at the last whole character that fits.
      KR_SetTrackName(inst, name.data(), korvel::UTF8PrefixLength(name, kKorvelTrackNameSize - 1));
    }
  } else if (contents->status == ConnectionFileContents::Status::Disconnected) {
    KR_Store(inst->isConnected, 0);
  }
  if (!contents->notes.empty()) {
    KR_StoreArticulationNotes(inst, contents->notes.data(),
                              static_cast<int>(contents->notes.size()));
  }
  return true;
}

}  // namespace

void KR_WriteConnectionFile(KorvelInstance* inst) {
  if (!inst) return;
  try {
    WriteConnectionFile(inst);
  } catch (...) {
    // Out of memory: the write is skipped, as any failed write is.
  }
}

void KR_ReadConnectionFile(KorvelInstance* inst) {
  if (!inst) return;
  bool parsed = false;
  try {
    parsed = ReadConnectionFile(inst);
  } catch (...) {
    parsed = false;
  }
  if (parsed) KR_CheckActiveTrack(inst);
}

void KR_FreeConnectionFileCache(KorvelInstance* inst) {
  delete std::atomic_ref<KR_ConnectionFileCache*>(inst->connectionFileCache).exchange(nullptr);
}
