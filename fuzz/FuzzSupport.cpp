#include "fuzz/FuzzSupport.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "identity/UIDRegistry.h"
#include "link/SharedPaths.h"

// Defaults for every target, so that running a binary by hand behaves like `make fuzz`:
// UBSan stops at its first report.
extern "C" const char* __ubsan_default_options() { return "halt_on_error=1:print_stacktrace=1"; }

namespace korvel::fuzz {

void Fail(const char* file, int line, const char* condition, const std::string& detail) {
  std::fprintf(stderr, "\n*** fuzz invariant violated at %s:%d: %s\n", file, line, condition);
  if (!detail.empty()) std::fprintf(stderr, "*** %s\n", detail.c_str());
  std::fflush(stderr);
  __builtin_trap();
}

namespace {

void RemovePrivateDirectory();

std::string MakePrivateDirectory() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/korvel-fuzz.XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (::mkdtemp(buffer.data()) == nullptr) {
    std::perror("mkdtemp");
    std::abort();
  }
  return std::string(buffer.data());
}

void RemovePrivateDirectory() {
  std::error_code ignored;
  std::filesystem::remove_all(PrivateDirectory(), ignored);
}

}  // namespace

const std::string& PrivateDirectory() {
  static const std::string directory = [] {
    std::string made = MakePrivateDirectory();
    return made;
  }();
  static const bool cleanupRegistered = (std::atexit(RemovePrivateDirectory), true);
  (void)cleanupRegistered;
  return directory;
}

void RedirectSharedFiles() { link::SetSharedFileDirectoryForTesting(PrivateDirectory()); }

bool WriteWholeFile(const std::string& path, std::string_view bytes) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) {
      ::close(fd);
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return ::close(fd) == 0;
}

void RemoveFile(const std::string& path) { ::unlink(path.c_str()); }

KorvelInstance* NewBareRecord() {
  AudioComponentPlugInInterface* handle = KorvelAUFactory(nullptr);
  if (handle == nullptr) std::abort();
  auto* inst = reinterpret_cast<KorvelInstance*>(handle);
  // Open's starting values for the fields this code reads; Reset sets the MIDI tables.
  KR_Reset(inst, 0, 0);
  KR_Store(inst->maxFramesPerSlice, 1024u);
  KR_AssignFreshUID(inst);
  return inst;
}

void FreeBareRecord(KorvelInstance* inst) {
  KR_ReleaseUID(inst, KR_Load(inst->uniqueID));
  KR_Release(inst);
}

void CheckRecordInvariants(const KorvelInstance* inst) {
  auto* record = const_cast<KorvelInstance*>(inst);
  {
    KR_LockGuard guard(&record->pendingLock);
    const int32_t pending = record->pendingCount;
    FUZZ_CHECK(pending >= 0 && pending <= kKorvelMaxPending,
               "pendingCount " + std::to_string(pending));
    for (int32_t i = 0; i < pending; ++i) {
      const PendingEvent& e = record->pendingEvents[i];
      FUZZ_CHECK(e.length == 2 || e.length == 3,
                 "pending entry length " + std::to_string(e.length));
      FUZZ_CHECK(e.dataByte1 < 0x80 && e.dataByte2 < 0x80, "pending entry data bytes not 7-bit");
    }
  }
  const int32_t articulations = KR_Load(inst->articulationNoteCount);
  FUZZ_CHECK(articulations >= 0 && articulations <= kKorvelMaxArticulations,
             "articulationNoteCount " + std::to_string(articulations));
  for (const auto& channel : inst->lastQueuedValue)
    for (const uint8_t& value : channel) {
      const uint8_t v = KR_Load(value);
      FUZZ_CHECK(v == 0xFF || v < 0x80, "lastQueuedValue byte " + std::to_string(v));
    }
  for (const auto& channel : inst->ccValues)
    for (const uint8_t& value : channel)
      FUZZ_CHECK(KR_Load(value) < 0x80, "ccValues byte not 7-bit");
  for (const uint8_t& flag : inst->ccTriggered)
    FUZZ_CHECK(KR_Load(flag) <= 1, "ccTriggered not a flag");
  {
    KR_LockGuard guard(&record->trackNameLock);
    FUZZ_CHECK(std::memchr(inst->trackName, 0, kKorvelTrackNameSize) != nullptr,
               "trackName without NUL");
  }

  const uint32_t uid = KR_Load(inst->uniqueID);
  FUZZ_CHECK(uid != 0, "uniqueID is 0");
  FUZZ_CHECK(KR_UIDOwner(uid) == inst,
             "the registry does not name this record as the owner of its UID");
  const uint8_t expected[7] = {0xF0,
                               0x7D,
                               static_cast<uint8_t>(uid >> 28),
                               static_cast<uint8_t>((uid >> 21) & 0x7F),
                               static_cast<uint8_t>((uid >> 14) & 0x7F),
                               static_cast<uint8_t>((uid >> 7) & 0x7F),
                               static_cast<uint8_t>(uid & 0x7F)};
  for (int i = 0; i < 7; ++i) {
    FUZZ_CHECK(KR_Load(inst->sysexHeader[i]) == expected[i],
               "sysexHeader byte " + std::to_string(i));
  }
}

std::string TrackNameOf(KorvelInstance* inst) {
  char name[kKorvelTrackNameSize];
  KR_CopyTrackName(inst, name);
  return std::string(name, strnlen(name, sizeof name));
}

bool IsStrictUTF8(std::string_view text) {
  size_t i = 0;
  while (i < text.size()) {
    const auto b = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = b(i);
    size_t extra;
    uint32_t cp;
    if (lead < 0x80) {
      ++i;
      continue;
    } else if ((lead & 0xE0) == 0xC0) {
      extra = 1, cp = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
      extra = 2, cp = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
      extra = 3, cp = lead & 0x07;
    } else {
      return false;
    }
    if (i + extra >= text.size()) return false;
    for (size_t k = 1; k <= extra; ++k) {
      if ((b(i + k) & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (b(i + k) & 0x3F);
    }
    static constexpr uint32_t kSmallest[4] = {0, 0x80, 0x800, 0x10000};
    if (cp < kSmallest[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += extra + 1;
  }
  return true;
}

std::vector<std::string_view> Split(std::string_view bytes, std::string_view separator) {
  std::vector<std::string_view> parts;
  for (;;) {
    size_t at = bytes.find(separator);
    if (at == std::string_view::npos) {
      parts.push_back(bytes);
      return parts;
    }
    parts.push_back(bytes.substr(0, at));
    bytes.remove_prefix(at + separator.size());
  }
}

}  // namespace korvel::fuzz
