/*
 * What every fuzz target shares: a failed invariant stops the run with a message and a
 * trap (so libFuzzer keeps the input), a private directory that stands in for /tmp, and
 * bare instance records the way the factory makes them.
 */
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "component/KorvelComponent.h"
#include "identity/UIDRegistry.h"
#include "link/CompanionLink.h"
#include "localization/PlistTextCheck.h"

namespace korvel::fuzz {

[[noreturn]] void Fail(const char* file, int line, const char* condition,
                       const std::string& detail);

#define FUZZ_CHECK(condition, ...)                                                    \
  do {                                                                                \
    if (!(condition))                                                                 \
      ::korvel::fuzz::Fail(__FILE__, __LINE__, #condition, std::string(__VA_ARGS__)); \
  } while (0)

/* A directory of this process's own, created on first use and removed at exit. The
 * shared /tmp files of the link are redirected into it. */
const std::string& PrivateDirectory();
void RedirectSharedFiles();

/* Writes `bytes` to `path` (replacing it); false when the write fails. */
bool WriteWholeFile(const std::string& path, std::string_view bytes);
void RemoveFile(const std::string& path);

/* A record as the factory returns it, given a fresh UID from the registry and the
 * starting values of Open that involve no thread, timer or MIDI port. Never null. */
KorvelInstance* NewBareRecord();
/* Gives up the record's UID and frees it. */
void FreeBareRecord(KorvelInstance* inst);

/* The record's invariants: counts in range, every lastQueuedValue byte 0xFF or 7-bit,
 * trackName NUL-terminated, sysexHeader matching uniqueID, and a non-zero UID owned by
 * this record in the registry. */
void CheckRecordInvariants(const KorvelInstance* inst);

/* The name in the record, up to its NUL. */
std::string TrackNameOf(KorvelInstance* inst);

/* Strict UTF-8 (no overlong forms, no surrogates, nothing above U+10FFFF); NUL allowed.
 * Written here rather than taken from the code under test so that it can judge it. */
bool IsStrictUTF8(std::string_view text);

/* Splits `bytes` at every occurrence of `separator`. */
std::vector<std::string_view> Split(std::string_view bytes, std::string_view separator);

/* The loader's own check, used by the targets to skip the known libplist aborts. */
using korvel::localization::PlistHoldsTextWithNUL;

}  // namespace korvel::fuzz
