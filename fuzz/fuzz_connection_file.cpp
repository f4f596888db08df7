/*
 * The connection file, as the companion (or anyone with access to /tmp) may leave it:
 * the input is the file's bytes. The instance reads it (KR_ReadConnectionFile), then two
 * editor views poll it — one on the instance, whose poll pushes the link into the
 * instance and so makes the instance rewrite the file, and one without an instance —
 * and finally the instance reads its own rewrite back. Each step is checked against what
 * an independent parse of the same bytes says it must do.
 */
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "editor/KorvelEditorView.h"
#include "fuzz/FuzzSupport.h"
#include "link/CompanionLink.h"
#include "link/SharedPaths.h"
#include "platform/SafeFile.h"
#include "record/KorvelInstance.h"

namespace {

using nlohmann::json;
using namespace korvel::fuzz;

constexpr int kMaxDepth = 64;
const std::string kPreviousName = "previous name";
const int32_t kPreviousNotes[2] = {7, 8};

/* Nesting depth of a document (a scalar 0, an empty object 1), without recursion. */
int Depth(const json& root) {
  int deepest = 0;
  std::vector<std::pair<const json*, int>> stack{{&root, root.is_structured() ? 1 : 0}};
  while (!stack.empty()) {
    auto [node, depth] = stack.back();
    stack.pop_back();
    deepest = std::max(deepest, depth);
    if (node->is_structured())
      for (const json& child : *node)
        if (child.is_structured()) stack.push_back({&child, depth + 1});
  }
  return deepest;
}

/* The document a reader must accept: an object nested at most 64 levels deep. */
std::optional<json> AcceptedDocument(std::string_view bytes) {
  json document = json::parse(bytes.begin(), bytes.end(), nullptr, /*allow_exceptions=*/false);
  if (!document.is_object() || Depth(document) > kMaxDepth) return std::nullopt;
  return document;
}

const std::string* String(const json& object, const char* key) {
  auto it = object.find(key);
  return it != object.end() && it->is_string() ? it->get_ptr<const std::string*>() : nullptr;
}

const json* NonEmptyArray(const json& object, const char* key) {
  auto it = object.find(key);
  return it != object.end() && it->is_array() && !it->empty() ? &*it : nullptr;
}

/* A note element's integer, when it is unambiguous: nothing for values outside int32,
 * whose treatment is the implementation's own. */
std::optional<int32_t> ExpectedNote(const json& element) {
  auto fits = [](long double v) -> std::optional<int32_t> {
    if (v < -2147483648.0L || v > 2147483647.0L) return std::nullopt;
    return static_cast<int32_t>(v);
  };
  if (element.is_number_integer() && element.is_number_unsigned())
    return fits(element.get<uint64_t>());
  if (element.is_number_integer()) return fits(element.get<int64_t>());
  if (element.is_number_float()) {
    double d = element.get<double>();
    if (d != d) return std::nullopt;
    return fits(
        static_cast<long double>(static_cast<long long>(std::max(-9.0e18, std::min(9.0e18, d)))));
  }
  if (element.is_string()) {
    const std::string& text = element.get_ref<const std::string&>();
    errno = 0;
    long long v = std::strtoll(text.c_str(), nullptr, 10);
    if (errno == ERANGE) return std::nullopt;
    return fits(v);
  }
  return 0;
}

/* The longest prefix of at most `limit` bytes that does not end inside a character. */
std::string BoundedName(const std::string& name, size_t limit) {
  if (name.size() <= limit) return name;
  size_t end = limit;
  while (end > 0 && (static_cast<unsigned char>(name[end]) & 0xC0) == 0x80) --end;
  return name.substr(0, end);
}

std::string UpToNUL(const std::string& text) { return text.substr(0, text.find('\0')); }

std::vector<int32_t> NotesOf(KorvelInstance* inst) {
  const int32_t n = KR_Load(inst->articulationNoteCount);
  std::vector<int32_t> notes;
  for (int32_t i = 0; i < n; ++i) notes.push_back(KR_Load(inst->articulationNotes[i]));
  return notes;
}

void CheckNotes(KorvelInstance* inst, const json& list, const char* who) {
  const size_t n = std::min<size_t>(list.size(), kKorvelMaxArticulations);
  FUZZ_CHECK(KR_Load(inst->articulationNoteCount) == static_cast<int32_t>(n),
             std::string(who) + ": articulationNoteCount " +
                 std::to_string(inst->articulationNoteCount) + ", expected " + std::to_string(n));
  for (size_t i = 0; i < n; ++i) {
    if (auto expected = ExpectedNote(list[i])) {
      FUZZ_CHECK(KR_Load(inst->articulationNotes[i]) == *expected,
                 std::string(who) + ": note " + std::to_string(i) + " is " +
                     std::to_string(inst->articulationNotes[i]) + ", expected " +
                     std::to_string(*expected));
    }
  }
}

/* The keys the instance writes itself; everything else in the file is someone else's. */
bool IsInstanceKey(const std::string& key) {
  static const char* const kKeys[] = {"schemaVersion", "protocol",  "status", "trackName",
                                      "uid",           "timestamp", "source", "pluginVersion"};
  for (const char* k : kKeys)
    if (key == k) return true;
  return false;
}

/* Equality of values after a write and a read: numbers that JSON text cannot hold
 * (infinities from an out-of-range literal) have no written form to compare. */
bool SameValue(const json& a, const json& b) {
  if (a.is_number_float() && !std::isfinite(a.get<double>())) return true;
  if (a.type() != b.type() && !(a.is_number() && b.is_number())) return false;
  if (a.is_structured()) {
    if (a.size() != b.size()) return false;
    if (a.is_object()) {
      for (auto it = a.begin(); it != a.end(); ++it) {
        auto other = b.find(it.key());
        if (other == b.end() || !SameValue(*it, *other)) return false;
      }
      return true;
    }
    for (size_t i = 0; i < a.size(); ++i)
      if (!SameValue(a[i], b[i])) return false;
    return true;
  }
  return a == b;
}

void CheckRewrite(const std::string& path, const json& original, KorvelInstance* inst) {
  auto bytes = korvel::platform::ReadSharedFile(path);
  FUZZ_CHECK(bytes.has_value(), "the instance's rewrite left no readable file");
  auto written = AcceptedDocument(*bytes);
  FUZZ_CHECK(written.has_value(),
             "the instance wrote a file its readers reject: " + bytes->substr(0, 200));
  const std::string* status = String(*written, "status");
  FUZZ_CHECK(status && *status == "connected", "rewritten status");
  FUZZ_CHECK(written->value("uid", json()) == json(KR_Load(inst->uniqueID)), "rewritten uid");
  const std::string name = TrackNameOf(inst);
  if (!name.empty()) {
    const std::string* writtenName = String(*written, "trackName");
    // A name the instance holds only in part (cut to size, or up to a NUL) stays whole.
    const std::string* originalName = String(original, "trackName");
    const bool keptWhole = originalName && IsStrictUTF8(name) &&
                           UpToNUL(BoundedName(*originalName, kKorvelTrackNameSize - 1)) == name;
    FUZZ_CHECK(writtenName && *writtenName == (keptWhole            ? *originalName
                                               : IsStrictUTF8(name) ? name
                                                                    : std::string()),
               "rewritten trackName");
  }
  for (auto it = original.begin(); it != original.end(); ++it) {
    if (IsInstanceKey(it.key())) continue;
    auto kept = written->find(it.key());
    FUZZ_CHECK(kept != written->end(), "the rewrite dropped the key " + it.key());
    FUZZ_CHECK(SameValue(*it, *kept), "the rewrite changed the value of " + it.key());
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  RedirectSharedFiles();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  KorvelInstance* inst = NewBareRecord();
  const uint32_t uid = KR_Load(inst->uniqueID);
  const std::string path = korvel::link::ConnectionFilePath(uid);
  const std::string anonymousPath = korvel::link::ConnectionFilePath(0);

  // State before the read: the reader must keep what the file does not mention. The
  // active-track flag is set against the file so that a skipped check shows.
  const bool wasConnected = size & 1;
  KR_Store(inst->isConnected, wasConnected ? 1 : 0);
  KR_Store(inst->isActiveTrack, 1);
  KR_SetTrackName(inst, kPreviousName.data(), kPreviousName.size());
  std::memcpy(inst->articulationNotes, kPreviousNotes, sizeof kPreviousNotes);
  KR_Store(inst->articulationNoteCount, 2);
  char activeUID[16];
  std::snprintf(activeUID, sizeof activeUID, "%08X\n", uid);
  FUZZ_CHECK(WriteWholeFile(korvel::link::ActiveUIDFilePath(), activeUID),
             "writing the active UID file");
  FUZZ_CHECK(WriteWholeFile(path, bytes), "writing the connection file");
  FUZZ_CHECK(WriteWholeFile(anonymousPath, bytes), "writing the connection file for UID 0");

  const std::optional<json> document = AcceptedDocument(bytes);

  // 1. The instance's reader.
  KR_ReadConnectionFile(inst);
  CheckRecordInvariants(inst);
  bool connected = wasConnected;
  std::string name = kPreviousName;
  if (!document) {
    FUZZ_CHECK(KR_Load(inst->isConnected) == (wasConnected ? 1 : 0),
               "a rejected file changed isConnected");
    FUZZ_CHECK(KR_Load(inst->isActiveTrack) == 1, "a rejected file ran the active-track check");
    FUZZ_CHECK(NotesOf(inst) == std::vector<int32_t>(kPreviousNotes, kPreviousNotes + 2),
               "a rejected file changed the articulation list");
  } else {
    const std::string* status = String(*document, "status");
    if (status && *status == "connected") {
      connected = true;
      const std::string* fileName = String(*document, "trackName");
      if (fileName && !fileName->empty())
        name = UpToNUL(BoundedName(*fileName, kKorvelTrackNameSize - 1));
    } else if (status && *status == "disconnected") {
      connected = false;
    }
    FUZZ_CHECK(KR_Load(inst->isConnected) == (connected ? 1 : 0), "isConnected after the read");
    FUZZ_CHECK(TrackNameOf(inst) == name, "trackName after the read: '" + TrackNameOf(inst) + "'");
    FUZZ_CHECK(KR_Load(inst->isActiveTrack) == (connected ? 1 : 0), "isActiveTrack after the read");
    if (const json* notes = NonEmptyArray(*document, "articulationNotes")) {
      CheckNotes(inst, *notes, "reader");
    } else {
      FUZZ_CHECK(NotesOf(inst) == std::vector<int32_t>(kPreviousNotes, kPreviousNotes + 2),
                 "the reader changed the list without a non-empty articulationNotes");
    }
  }

  // 2. The editor: one view on the instance, one without.
  {
    korvel::editor::KorvelEditorView attached({0, 0, 400, 300}, reinterpret_cast<AudioUnit>(inst));
    korvel::editor::KorvelEditorView detached({0, 0, 400, 300}, nullptr);
    FUZZ_CHECK(attached.uniqueID() == uid, "the view read another UID");
    const std::vector<int32_t> notesBefore = NotesOf(inst);
    const bool instanceConnectedBefore = KR_Load(inst->isConnected) != 0;
    const std::string instanceNameBefore = TrackNameOf(inst);
    attached.pollConnectionFile();
    detached.pollConnectionFile();
    CheckRecordInvariants(inst);

    FUZZ_CHECK(attached.isConnected() == detached.isConnected() &&
                   attached.trackName() == detached.trackName() &&
                   attached.articulationNames() == detached.articulationNames() &&
                   attached.articulationNotes() == detached.articulationNotes(),
               "views with and without an instance read the same file differently");

    const std::string* status = document ? String(*document, "status") : nullptr;
    if (status && *status == "connected") {
      const std::string* fileName = String(*document, "trackName");
      const std::string shown = fileName ? *fileName : std::string();
      FUZZ_CHECK(attached.isConnected(), "the view missed a link");
      FUZZ_CHECK(attached.trackName() == UpToNUL(shown), "the view shows another track name");
      FUZZ_CHECK(KR_Load(inst->isConnected) == 1, "the view did not pass the link on");
      FUZZ_CHECK(TrackNameOf(inst) == UpToNUL(BoundedName(shown, kKorvelTrackNameSize - 1)),
                 "the view did not pass the track name on");
      if (const json* names = NonEmptyArray(*document, "articulationNames")) {
        FUZZ_CHECK(attached.articulationNames().size() == names->size(), "articulation names");
      }
      if (const json* notes = NonEmptyArray(*document, "articulationNotes")) {
        FUZZ_CHECK(attached.articulationNotes().size() == notes->size(),
                   "articulation notes in the view");
        CheckNotes(inst, *notes, "editor");
      } else {
        FUZZ_CHECK(NotesOf(inst) == notesBefore, "the view sent notes without a non-empty list");
      }
      // The instance writes only while it holds a name: one that had none before the view
      // linked it and has none after leaves the file as it was.
      if (instanceNameBefore.empty() && TrackNameOf(inst).empty()) {
        FUZZ_CHECK(korvel::platform::ReadSharedFile(path) == std::string(bytes),
                   "a nameless instance rewrote the file");
      } else {
        CheckRewrite(path, *document, inst);
      }

      // 3. The instance reads its own rewrite: the link and the list stay. The name may
      // change back: when the view sent an empty name, the instance kept no name and did
      // not write, so the file still holds the name written with the link flag.
      const std::string nameNow = TrackNameOf(inst);
      const std::vector<int32_t> notesNow = NotesOf(inst);
      const std::optional<json> rewrite = AcceptedDocument(*korvel::platform::ReadSharedFile(path));
      const std::string* rewrittenName = String(*rewrite, "trackName");
      const std::string nameAfter =
          rewrittenName && !rewrittenName->empty()
              ? UpToNUL(BoundedName(*rewrittenName, kKorvelTrackNameSize - 1))
              : nameNow;
      FUZZ_CHECK(nameNow.empty() || nameAfter == nameNow || !IsStrictUTF8(nameNow),
                 "the rewrite holds another name than the instance");
      KR_ReadConnectionFile(inst);
      CheckRecordInvariants(inst);
      FUZZ_CHECK(KR_Load(inst->isConnected) == 1, "re-read of the rewrite: isConnected");
      FUZZ_CHECK(TrackNameOf(inst) == nameAfter, "re-read of the rewrite: trackName");
      FUZZ_CHECK(NotesOf(inst) == notesNow, "re-read of the rewrite: articulation list");
    } else {
      FUZZ_CHECK(!attached.isConnected() && attached.trackName().empty() &&
                     attached.articulationNotes().empty() && attached.articulationNames().empty(),
                 "the view took something from a file without a link");
      FUZZ_CHECK((KR_Load(inst->isConnected) != 0) == instanceConnectedBefore &&
                     TrackNameOf(inst) == instanceNameBefore && NotesOf(inst) == notesBefore,
                 "the view changed the instance without a link in the file");
    }
  }

  RemoveFile(path);
  RemoveFile(anonymousPath);
  FreeBareRecord(inst);
  return 0;
}
