/*
 * The process-wide registry that keeps every live instance's UID unique. Every lookup
 * and change happens under gUIDOwnerLock; the registry knows nothing of files, MIDI or
 * the editor, and changes only an instance's uniqueID and the sysexHeader that follows it.
 */
#pragma once

#include <cstdint>
#include <unordered_map>

struct KorvelInstance;

using KR_UIDOwnerMap = std::unordered_map<uint32_t, KorvelInstance*>;

/* The map itself, created on first use. Callers must hold gUIDOwnerLock while using it. */
KR_UIDOwnerMap& KR_UIDOwnerRegistry();
bool KR_ClaimUID(KorvelInstance* inst, unsigned int uid);
void KR_ReleaseUID(KorvelInstance* inst, unsigned int uid);
uint32_t KR_AssignFreshUID(KorvelInstance* inst);
bool KR_SetUniqueIDKeepingRegistry(KorvelInstance* inst, unsigned int uid);

/* Test hook: the owner of `uid`, or nullptr. */
KorvelInstance* KR_UIDOwner(unsigned int uid);
