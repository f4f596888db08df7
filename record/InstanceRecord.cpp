// Helpers over the record's shared fields: its lifetime, the SysEx header that follows
// the UID, the track name behind its own lock, and the pending queue.
#include <cstdlib>
#include <cstring>

#include "interface/CompanionProtocol.h"
#include "record/KorvelInstance.h"

namespace {
std::atomic<int> gLiveRecords{0};
}

int KR_LiveRecordCount() { return gLiveRecords.load(); }
void KR_CountNewRecord() { gLiveRecords.fetch_add(1); }

void KR_Retain(KorvelInstance* inst) {
  std::atomic_ref<int32_t>(inst->retainCount).fetch_add(1, std::memory_order_relaxed);
}

void KR_Release(KorvelInstance* inst) {
  if (std::atomic_ref<int32_t>(inst->retainCount).fetch_sub(1, std::memory_order_acq_rel) == 1) {
    if (auto freeLinkState = inst->freeLinkState) freeLinkState(inst);
    std::free(inst);
    gLiveRecords.fetch_sub(1);
  }
}

using korvel::link::EncodeHeader;

void KR_WriteSysExHeader(KorvelInstance* inst, uint32_t uid) {
  uint8_t bytes[7];
  EncodeHeader(uid, bytes);
  for (int i = 0; i < 7; ++i) KR_Store(inst->sysexHeader[i], bytes[i]);
}

void KR_CopySysExHeader(const KorvelInstance* inst, uint8_t out[7]) {
  // The UID is stored before the header bytes, so a copy that disagrees with the UID was
  // taken in the middle of a change; try again, and after a few misses build the header
  // from the UID itself, which is what the header must say anyway.
  for (int attempt = 0; attempt < 16; ++attempt) {
    uint32_t uid = KR_Load(inst->uniqueID);
    uint8_t expected[7];
    EncodeHeader(uid, expected);
    for (int i = 0; i < 7; ++i) out[i] = KR_Load(inst->sysexHeader[i]);
    if (std::memcmp(out, expected, 7) == 0) return;
  }
  EncodeHeader(KR_Load(inst->uniqueID), out);
}

void KR_CopyTrackName(KorvelInstance* inst, char out[kKorvelTrackNameSize]) {
  KR_LockGuard guard(&inst->trackNameLock);
  std::memcpy(out, inst->trackName, kKorvelTrackNameSize);
  out[kKorvelTrackNameSize - 1] = '\0';
}

void KR_SetTrackName(KorvelInstance* inst, const char* bytes, size_t length) {
  if (length > kKorvelTrackNameSize - 1) length = kKorvelTrackNameSize - 1;
  KR_LockGuard guard(&inst->trackNameLock);
  std::memset(inst->trackName, 0, kKorvelTrackNameSize);
  if (length > 0) std::memcpy(inst->trackName, bytes, length);
}

int KR_DrainPending(KorvelInstance* inst, PendingEvent out[kKorvelMaxPending]) {
  KR_LockGuard guard(&inst->pendingLock);
  int n = inst->pendingCount;
  if (n > 0) {
    std::memcpy(out, inst->pendingEvents, sizeof(PendingEvent) * static_cast<size_t>(n));
    inst->pendingCount = 0;
  }
  return n;
}

void KR_StoreArticulationNotes(KorvelInstance* inst, const int32_t* notes, int count) {
  if (count < 0) count = 0;
  if (count > kKorvelMaxArticulations) count = kKorvelMaxArticulations;
  uint64_t mask[2] = {0, 0};
  KR_LockGuard guard(&inst->articulationLock);
  for (int i = 0; i < count; ++i) {
    KR_Store(inst->articulationNotes[i], notes[i]);
    // Entries outside 0..127 are stored but can never match a note.
    if (notes[i] >= 0 && notes[i] < 128) mask[notes[i] >> 6] |= uint64_t{1} << (notes[i] & 63);
  }
  KR_Store(inst->articulationNoteCount, count);
  KR_Store(inst->keyswitchMask[0], mask[0]);
  KR_Store(inst->keyswitchMask[1], mask[1]);
}
