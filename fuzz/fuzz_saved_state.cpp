/*
 * The saved state from a project file: the input is parsed as a property list (XML or
 * binary) and restored with a set of property 0 into a fresh instance, while another
 * live instance holds the UID 12345678 so that the duplicate path is reachable. The
 * outcome must follow the restore rules, keep the record's invariants, and survive the
 * way back: the state read from the instance, written as a binary property list, read
 * again and restored into a new instance gives that instance the same UID and link.
 */
#include <fcntl.h>
#include <plist/plist.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "component/KorvelComponent.h"
#include "component/SavedState.h"
#include "fuzz/FuzzSupport.h"
#include "identity/UIDRegistry.h"
#include "link/SharedPaths.h"
#include "platform/SafeFile.h"

namespace {

using namespace korvel::fuzz;

constexpr uint32_t kHeldUID = 0x12345678;
const std::string kPreviousName = "previous name";

struct PlistFree {
  void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};
using Node = std::unique_ptr<void, PlistFree>;

/* A number node's value as the restore reads it; anything else counts as absent. */
std::optional<int64_t> Number(plist_t node) {
  if (node == nullptr) return std::nullopt;
  if (plist_get_node_type(node) == PLIST_UINT) {
    uint64_t v = 0;
    plist_get_uint_val(node, &v);
    return static_cast<int64_t>(v);
  }
  if (plist_get_node_type(node) == PLIST_REAL) {
    double d = 0;
    plist_get_real_val(node, &d);
    if (!(d > -9.2e18 && d < 9.2e18)) return std::nullopt;
    return static_cast<int64_t>(d);
  }
  return std::nullopt;
}

std::optional<std::string> Text(plist_t node) {
  if (node == nullptr || plist_get_node_type(node) != PLIST_STRING) return std::nullopt;
  // plist_get_string_val asserts that the text holds no NUL, which a parsed file may.
  uint64_t length = 0;
  const char* text = plist_get_string_ptr(node, &length);
  return text ? std::string(text, length) : std::string();
}

std::string BoundedName(const std::string& name) {
  if (name.size() <= 255) return name;
  size_t end = 255;
  while (end > 0 && (static_cast<unsigned char>(name[end]) & 0xC0) == 0x80) --end;
  return name.substr(0, end);
}

/* Runs `restore` with standard error pointed at /dev/null: the duplicate-UID line is
 * expected there and would otherwise flood the fuzzer's output. */
template <class F>
void WithoutStderr(bool quiet, F&& restore) {
  if (!quiet || std::getenv("KORVEL_FUZZ_VERBOSE")) {
    restore();
    return;
  }
  std::fflush(stderr);
  const int saved = ::dup(2);
  const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  ::dup2(null, 2);
  ::close(null);
  restore();
  std::fflush(stderr);
  ::dup2(saved, 2);
  ::close(saved);
}

void Restore(KorvelInstance* inst, plist_t node, bool quiet) {
  WithoutStderr(quiet, [&] {
    FUZZ_CHECK(KR_SetProperty(inst, kAudioUnitProperty_ClassInfo, kAudioUnitScope_Global, 0, &node,
                              sizeof node) == noErr,
               "a restore must answer 0");
  });
}

KorvelInstance* Holder() {
  static KorvelInstance* holder = [] {
    KorvelInstance* inst = NewBareRecord();
    FUZZ_CHECK(KR_SetUniqueIDKeepingRegistry(inst, kHeldUID), "claiming the held UID");
    return inst;
  }();
  return holder;
}

void CheckConnectionFile(KorvelInstance* inst) {
  const uint32_t uid = KR_Load(inst->uniqueID);
  const std::string path = korvel::link::ConnectionFilePath(uid);
  const std::string name = TrackNameOf(inst);
  const bool shouldExist = KR_Load(inst->isConnected) && !name.empty();
  auto bytes = korvel::platform::ReadSharedFile(path);
  FUZZ_CHECK(bytes.has_value() == shouldExist, shouldExist
                                                   ? "a connected restore wrote no connection file"
                                                   : "a restore wrote a file without a link");
  if (!bytes) return;
  nlohmann::json document = nlohmann::json::parse(*bytes, nullptr, false);
  FUZZ_CHECK(document.is_object(), "the connection file is not a JSON object");
  FUZZ_CHECK(document.value("status", "") == "connected", "the connection file's status");
  FUZZ_CHECK(document.value("uid", 0u) == uid, "the connection file's uid");
  FUZZ_CHECK(document.value("trackName", std::string("\x01")) ==
                 (IsStrictUTF8(name) ? name : std::string()),
             "the connection file's trackName");
  RemoveFile(path);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  RedirectSharedFiles();
  Holder();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  plist_t raw = nullptr;
  plist_from_memory(reinterpret_cast<const char*>(data), static_cast<uint32_t>(size), &raw);
  Node state(raw);

  KorvelInstance* inst = NewBareRecord();
  const uint32_t before = KR_Load(inst->uniqueID);
  KR_SetTrackName(inst, kPreviousName.data(), kPreviousName.size());
  KR_Store(inst->isActiveTrack, 1);  // no active-track file exists: a check clears it

  // What the restore must do.
  const bool isDict = raw != nullptr && plist_get_node_type(raw) == PLIST_DICT;
  std::optional<int64_t> savedUID =
      isDict ? Number(plist_dict_get_item(raw, "tvUniqueID")) : std::nullopt;
  const uint32_t saved = savedUID ? static_cast<uint32_t>(static_cast<int32_t>(*savedUID)) : 0;
  const bool refused = savedUID && (saved == 0 || saved == kHeldUID);
  bool connected = false;
  std::string name = kPreviousName;
  if (isDict && !refused) {
    if (auto flag = Number(plist_dict_get_item(raw, "tvConnected")))
      connected = static_cast<int32_t>(*flag) != 0;
    if (auto text = Text(plist_dict_get_item(raw, "tvTrackName"))) {
      name = BoundedName(*text);
      name = name.substr(0, name.find('\0'));
    }
  }
  if (refused) name.clear();

  Restore(inst, raw, refused);
  CheckRecordInvariants(inst);
  FUZZ_CHECK(KR_UIDOwner(kHeldUID) == Holder(), "the restore took the held UID from its owner");
  const uint32_t after = KR_Load(inst->uniqueID);
  if (after != before) FUZZ_CHECK(KR_UIDOwner(before) == nullptr, "the old UID was not given up");

  if (!isDict) {
    FUZZ_CHECK(after == before && !KR_Load(inst->isConnected) &&
                   TrackNameOf(inst) == kPreviousName && KR_Load(inst->isActiveTrack) == 1,
               "a restore from something that is not a dictionary changed the instance");
  } else {
    if (refused) {
      FUZZ_CHECK(after != kHeldUID && after != 0, "a refused UID was kept");
    } else if (savedUID) {
      FUZZ_CHECK(after == saved, "the saved UID was not restored");
    } else {
      FUZZ_CHECK(after == before, "a state without a UID changed the UID");
    }
    FUZZ_CHECK((KR_Load(inst->isConnected) != 0) == connected, "isConnected after the restore");
    FUZZ_CHECK(TrackNameOf(inst) == name,
               "trackName after the restore: '" + TrackNameOf(inst) + "'");
    FUZZ_CHECK(KR_Load(inst->isActiveTrack) == 0, "the restore skipped the active-track check");
    CheckConnectionFile(inst);
  }

  // The way back through a project file.
  plist_t copy = nullptr;
  uint32_t copySize = sizeof copy;
  FUZZ_CHECK(KR_GetProperty(inst, kAudioUnitProperty_ClassInfo, kAudioUnitScope_Global, 0, &copy,
                            &copySize) == noErr &&
                 copy != nullptr,
             "a get of the saved state");
  Node savedState(copy);
  char* binary = nullptr;
  uint32_t binarySize = 0;
  plist_to_bin(copy, &binary, &binarySize);
  FUZZ_CHECK(binary != nullptr, "the saved state cannot be written as a binary property list");
  plist_t reread = nullptr;
  plist_from_bin(binary, binarySize, &reread);
  std::free(binary);
  Node rereadState(reread);
  FUZZ_CHECK(reread != nullptr, "the written saved state cannot be read back");

  const uint32_t uid = KR_Load(inst->uniqueID);
  const bool wasConnected = KR_Load(inst->isConnected) != 0;
  const std::string savedName = TrackNameOf(inst);
  const std::string connectionFile = korvel::link::ConnectionFilePath(uid);
  FreeBareRecord(inst);

  KorvelInstance* next = NewBareRecord();
  Restore(next, reread, false);
  CheckRecordInvariants(next);
  FUZZ_CHECK(KR_Load(next->uniqueID) == uid, "a saved UID did not come back");
  FUZZ_CHECK((KR_Load(next->isConnected) != 0) == wasConnected, "the link flag did not come back");
  // The name is saved only when it is text; otherwise the new instance keeps its own (none).
  FUZZ_CHECK(TrackNameOf(next) == (IsStrictUTF8(savedName) ? savedName : std::string()),
             "the track name did not come back");
  RemoveFile(connectionFile);
  FreeBareRecord(next);
  return 0;
}
