#include "identity/UIDRegistry.h"

#include <cstdlib>

#include "record/KorvelInstance.h"

// The lock is held across a whole UID swap, not only around single lookups, so that a
// swap is seen by other instances as one step: an instance never holds two UIDs, nor one
// it does not own. External linkage only so that the real-time test can hold it.
KR_UnfairLock gUIDOwnerLock;

KR_UIDOwnerMap& KR_UIDOwnerRegistry() {
  // Never destroyed: instances may still be closed by a host during process exit.
  static KR_UIDOwnerMap* registry = new KR_UIDOwnerMap();
  return *registry;
}

namespace {

bool ClaimLocked(KorvelInstance* inst, uint32_t uid) {
  auto& map = KR_UIDOwnerRegistry();
  auto it = map.find(uid);
  if (it != map.end() && it->second != inst) return false;
  map[uid] = inst;
  return true;
}

void ReleaseLocked(KorvelInstance* inst, uint32_t uid) {
  auto& map = KR_UIDOwnerRegistry();
  auto it = map.find(uid);
  if (it != map.end() && it->second == inst) map.erase(it);
}

void StoreUID(KorvelInstance* inst, uint32_t uid) {
  KR_Store(inst->uniqueID, uid);
  KR_WriteSysExHeader(inst, uid);
}

}  // namespace

bool KR_ClaimUID(KorvelInstance* inst, unsigned int uid) {
  KR_LockGuard guard(&gUIDOwnerLock);
  return ClaimLocked(inst, uid);
}

void KR_ReleaseUID(KorvelInstance* inst, unsigned int uid) {
  if (inst == nullptr || uid == 0) return;
  KR_LockGuard guard(&gUIDOwnerLock);
  ReleaseLocked(inst, uid);
}

uint32_t KR_AssignFreshUID(KorvelInstance* inst) {
  if (inst == nullptr) return 0;
  KR_LockGuard guard(&gUIDOwnerLock);
  uint32_t current = KR_Load(inst->uniqueID);
  // The new UID is claimed before the old one is given up: a claim that runs out of
  // memory then leaves the record and the registry as they were.
  uint32_t uid;
  do {
    uid = arc4random();
  } while (uid == 0 || uid == current || !ClaimLocked(inst, uid));
  if (current != 0) ReleaseLocked(inst, current);
  StoreUID(inst, uid);
  return uid;
}

bool KR_SetUniqueIDKeepingRegistry(KorvelInstance* inst, unsigned int uid) {
  if (inst == nullptr || uid == 0) return false;
  KR_LockGuard guard(&gUIDOwnerLock);
  uint32_t current = KR_Load(inst->uniqueID);
  // Claimed before the old UID is given up, as in KR_AssignFreshUID.
  if (!ClaimLocked(inst, uid)) return false;
  if (uid != current) {
    if (current != 0) ReleaseLocked(inst, current);
    StoreUID(inst, uid);
  }
  return true;
}

KorvelInstance* KR_UIDOwner(unsigned int uid) {
  KR_LockGuard guard(&gUIDOwnerLock);
  auto& map = KR_UIDOwnerRegistry();
  auto it = map.find(uid);
  return it == map.end() ? nullptr : it->second;
}
