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
// UBSan stops at the first report that the suppression file does not cover.
extern "C" const char* __ubsan_default_options() {
  return "halt_on_error=1:print_stacktrace=1:suppressions=" KORVEL_FUZZ_UBSAN_SUPPRESSIONS;
}

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
    FUZZ_CHECK(pending >= 0 && pending <= kKorvelMaxPending, "pendingCount " + std::to_string(pending));
    for (int32_t i = 0; i < pending; ++i) {
      const PendingEvent& e = record->pendingEvents[i];
      FUZZ_CHECK(e.length == 2 || e.length == 3, "pending entry length " + std::to_string(e.length));
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
    for (const uint8_t& value : channel) FUZZ_CHECK(KR_Load(value) < 0x80, "ccValues byte not 7-bit");
  for (const uint8_t& flag : inst->ccTriggered) FUZZ_CHECK(KR_Load(flag) <= 1, "ccTriggered not a flag");
  {
    KR_LockGuard guard(&record->trackNameLock);
    FUZZ_CHECK(std::memchr(inst->trackName, 0, kKorvelTrackNameSize) != nullptr, "trackName without NUL");
  }

  const uint32_t uid = KR_Load(inst->uniqueID);
  FUZZ_CHECK(uid != 0, "uniqueID is 0");
  FUZZ_CHECK(KR_UIDOwner(uid) == inst, "the registry does not name this record as the owner of its UID");
  const uint8_t expected[7] = {0xF0,
                               0x7D,
                               static_cast<uint8_t>(uid >> 28),
                               static_cast<uint8_t>((uid >> 21) & 0x7F),
                               static_cast<uint8_t>((uid >> 14) & 0x7F),
                               static_cast<uint8_t>((uid >> 7) & 0x7F),
                               static_cast<uint8_t>(uid & 0x7F)};
  for (int i = 0; i < 7; ++i) {
    FUZZ_CHECK(KR_Load(inst->sysexHeader[i]) == expected[i], "sysexHeader byte " + std::to_string(i));
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

namespace {

uint64_t BigEndian(std::string_view bytes, size_t at, size_t width) {
  uint64_t v = 0;
  for (size_t i = 0; i < width; ++i) v = (v << 8) | static_cast<unsigned char>(bytes[at + i]);
  return v;
}

}  // namespace

bool PlistHoldsTextWithNUL(std::string_view bytes) {
  if (bytes.substr(0, 6) != "bplist") return bytes.find('\0') != std::string_view::npos;
  if (bytes.size() < 8 + 32) return false;
  const size_t trailer = bytes.size() - 32;
  const size_t offsetSize = static_cast<unsigned char>(bytes[trailer + 6]);
  const uint64_t objects = BigEndian(bytes, trailer + 8, 8);
  const uint64_t table = BigEndian(bytes, trailer + 24, 8);
  if (offsetSize < 1 || offsetSize > 8 || table > trailer || objects > (trailer - table) / offsetSize) return false;
  for (uint64_t i = 0; i < objects; ++i) {
    const uint64_t at = BigEndian(bytes, table + i * offsetSize, offsetSize);
    if (at >= trailer) continue;
    const unsigned char marker = static_cast<unsigned char>(bytes[at]);
    const unsigned kind = marker >> 4;
    if (kind != 0x5 && kind != 0x6) continue;
    uint64_t length = marker & 0x0F;
    size_t start = at + 1;
    if (length == 0x0F) {  // the length follows as an integer object
      if (start >= trailer || (static_cast<unsigned char>(bytes[start]) >> 4) != 0x1) continue;
      const size_t width = size_t(1) << (bytes[start] & 0x0F);
      if (width > 8 || start + 1 + width > trailer) continue;
      length = BigEndian(bytes, start + 1, width);
      start += 1 + width;
    }
    const uint64_t size = kind == 0x6 ? length * 2 : length;
    if (length > trailer || start + size > trailer) continue;
    for (uint64_t k = 0; k < length; ++k) {
      if (kind == 0x5 && bytes[start + k] == '\0') return true;
      if (kind == 0x6 && BigEndian(bytes, start + 2 * k, 2) == 0) return true;
    }
  }
  return false;
}

}  // namespace korvel::fuzz
