// The saved-state dictionary a host stores in its project for each instance.
#pragma once

#include <plist/plist.h>

struct KorvelInstance;

/* A new dictionary describing the instance; the caller owns it. */
plist_t KR_CopySavedState(KorvelInstance* inst);
/* Restores UID, link flag and track name from a saved dictionary; anything that is not
 * a dictionary changes nothing. */
void KR_RestoreSavedState(KorvelInstance* inst, plist_t state);
