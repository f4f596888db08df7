/*
 * The per-instance record of the Korvel component, its constants and the helpers over
 * its shared fields. Nothing here knows of the layers above: the registry, the link and
 * the entry points declare their own functions.
 *
 * The record is deliberately a plain struct handled by plain functions: the host sees
 * its first member as the component's plug-in interface, so the record pointer is the
 * instance handle. Fields shared between threads are plain bytes and aligned words that
 * are only touched through relaxed atomic accesses (KR_Load / KR_Store below), so the
 * real-time thread never waits for anything but pendingLock.
 */
#pragma once

#include <atomic>
#include <cstdint>

#include "interface/KorvelProperties.h"
#include "platform/AudioComponent.h"
#include "platform/MIDIServices.h"
#include "platform/UnfairLock.h"

namespace korvel::platform {
class TimerSource;
}
/* What the instance last read from its connection file (link/ConnectionFile.cpp). */
struct KR_ConnectionFileCache;

/* One MIDI event waiting to go to the companion. */
struct PendingEvent {
  uint8_t status;    /* the status byte as received */
  uint8_t dataByte1; /* low 7 bits */
  uint8_t dataByte2; /* low 7 bits */
  uint8_t length;    /* 2 or 3 MIDI bytes, counted from status */
};
static_assert(sizeof(PendingEvent) == 4);

inline constexpr int kKorvelDedupSlots = 256;
inline constexpr int kKorvelDedupSlotChannelPressure = 128;
inline constexpr int kKorvelDedupSlotPitchBend = 129;

struct KorvelInstance {
  AudioComponentPlugInInterface plugInInterface; /* must stay first: record == handle */
  AudioComponentInstance componentInstance;
  AudioStreamBasicDescription streamFormat;
  uint32_t maxFramesPerSlice;
  uint8_t initialized;
  AUMIDIOutputCallbackStruct midiOutputCallback;
  HostCallbackInfo hostCallbacks;
  uint8_t ccValues[kKorvelChannels][kKorvelControllers];
  uint8_t ccTriggered[kKorvelControllers];
  int32_t activeArticulation;
  uint32_t lastVelocity;
  uint32_t uniqueID;
  uint8_t isConnected;
  uint8_t isActiveTrack;
  char trackName[kKorvelTrackNameSize];
  PendingEvent pendingEvents[kKorvelMaxPending];
  int32_t pendingCount;
  KR_UnfairLock pendingLock;
  uint8_t lastQueuedValue[kKorvelChannels][kKorvelDedupSlots];
  int32_t articulationNotes[kKorvelMaxArticulations];
  int32_t articulationNoteCount;
  MIDIClientRef midiClient;
  MIDIPortRef midiOutPort;
  MIDIEndpointRef companionDestination;
  uint8_t sysexHeader[7];
  korvel::platform::TimerSource* linkTimer;
  int32_t heartbeatTicks;
  uint8_t heartbeatEnabled;
  int32_t connectionFileTicks;
  int32_t trackChangedToken;

  /* Implementation fields, after the record's published ones. */
  KR_UnfairLock trackNameLock;    /* guards trackName; the real-time thread never takes it */
  uint32_t midiOutputCallbackSeq; /* sequence word: the real-time thread reads the
                                     callback pair consistently without waiting */
  int32_t retainCount;            /* the host's reference plus one per timer, task or
                                     queued handler that may still touch the record */
  KR_UnfairLock articulationLock; /* orders writers of the articulation list; the
                                     real-time thread never takes it */
  uint64_t keyswitchMask[2];      /* bit n set when note n is among the counted
                                     articulation notes: one look-up per note-on */
  KR_ConnectionFileCache* connectionFileCache; /* made by the link on its first read */
  void (*freeLinkState)(KorvelInstance*);      /* set with it: frees it with the record */
  uint64_t searchedDestinations;               /* the destinations' generation when the tick last
                                                  searched in vain (0: never); timer queue only */
  uint8_t closed;                              /* set by KR_Close: the record may live on for the
                                                  editors that hold it, and answers them no more */
  int32_t editorHolds;                         /* references taken by editor views (property
                                                  kKorvelProperty_EditorHold) */
};

/* Relaxed atomic access to the fields shared without a lock. */
template <class T>
inline T KR_Load(const T& field) {
  return std::atomic_ref<T>(const_cast<T&>(field)).load(std::memory_order_relaxed);
}
template <class T, class U>
inline void KR_Store(T& field, U value) {
  std::atomic_ref<T>(field).store(static_cast<T>(value), std::memory_order_relaxed);
}

/* --- Record lifetime (the record outlives KR_Close until its last user lets go) --- */
void KR_Retain(KorvelInstance* inst);
void KR_Release(KorvelInstance* inst);
/* Records allocated and not yet freed in this process (for leak checks). */
int KR_LiveRecordCount();
/* Counts a record the factory has just allocated. */
void KR_CountNewRecord();

/* --- Record helpers --- */
/* Rewrites bytes 0..6 of sysexHeader from `uid`. */
void KR_WriteSysExHeader(KorvelInstance* inst, uint32_t uid);
/* A consistent copy of sysexHeader, even while another thread changes the UID. */
void KR_CopySysExHeader(const KorvelInstance* inst, uint8_t out[7]);
/* trackName under its lock: copy out (always NUL-terminated), or replace. */
void KR_CopyTrackName(KorvelInstance* inst, char out[kKorvelTrackNameSize]);
void KR_SetTrackName(KorvelInstance* inst, const char* bytes, size_t length);
/* Replaces the first `count` articulation notes (0..128) and the count, and the
 * keyswitch mask the real-time thread matches note-ons against. */
void KR_StoreArticulationNotes(KorvelInstance* inst, const int32_t* notes, int count);
/* Whether `note` (0..127) is one of the counted articulation notes: one look-up. */
inline bool KR_IsKeyswitch(const KorvelInstance* inst, int32_t note) {
  return (KR_Load(inst->keyswitchMask[note >> 6]) >> (note & 63)) & 1;
}
/* Takes and empties the pending queue; returns the number of entries copied to `out`. */
int KR_DrainPending(KorvelInstance* inst, PendingEvent out[kKorvelMaxPending]);
