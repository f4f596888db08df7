/*
 * The per-instance record of the Korvel component and every KR_ entry point.
 *
 * The record is deliberately a plain struct handled by plain functions: the host sees
 * its first member as the component's plug-in interface, so the record pointer is the
 * instance handle. Fields shared between threads are plain bytes and aligned words that
 * are only touched through relaxed atomic accesses (KR_Load / KR_Store below), so the
 * real-time thread never waits for anything but pendingLock.
 */
#ifndef KORVEL_COMPONENT_KORVELINSTANCE_H
#define KORVEL_COMPONENT_KORVELINSTANCE_H

#include <atomic>
#include <cstdint>

#include "platform/AudioComponent.h"
#include "platform/MIDIServices.h"
#include "platform/UnfairLock.h"

namespace korvel::platform {
class TimerSource;
}

/* One MIDI event waiting to go to the companion. */
struct PendingEvent {
  uint8_t status;    /* the status byte as received */
  uint8_t dataByte1; /* low 7 bits */
  uint8_t dataByte2; /* low 7 bits */
  uint8_t length;    /* 2 or 3 MIDI bytes, counted from status */
};
static_assert(sizeof(PendingEvent) == 4);

enum : uint32_t {
  kKorvelProperty_CCValues = 65001,
  kKorvelProperty_UniqueID = 65002,
  kKorvelProperty_Connected = 65003,
  kKorvelProperty_TrackName = 65004,
  kKorvelProperty_ActiveArticulation = 65005,
  kKorvelProperty_LastVelocity = 65006,
  kKorvelProperty_ArticulationNotes = 65008,
  kKorvelProperty_PendingEvents = 65009,
  kKorvelProperty_ActiveTrack = 65010,
  kKorvelProperty_CompanionCommand = 65011,
  kKorvelProperty_CCTriggered = 65012,
};

inline constexpr int kKorvelChannels = 16;
inline constexpr int kKorvelControllers = 128;
inline constexpr int kKorvelDedupSlots = 256;
inline constexpr int kKorvelDedupSlotChannelPressure = 128;
inline constexpr int kKorvelDedupSlotPitchBend = 129;
inline constexpr int kKorvelMaxPending = 256;
inline constexpr int kKorvelMaxArticulations = 128;
inline constexpr int kKorvelTrackNameSize = 256;

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
  KR_UnfairLock trackNameLock;     /* guards trackName; the real-time thread never takes it */
  uint32_t midiOutputCallbackSeq;  /* sequence word: the real-time thread reads the
                                      callback pair consistently without waiting */
  int32_t retainCount;             /* the host's reference plus one per timer, task or
                                      queued handler that may still touch the record */
  KR_UnfairLock articulationLock;  /* orders writers of the articulation list; the
                                      real-time thread never takes it */
  uint64_t keyswitchMask[2];       /* bit n set when note n is among the counted
                                      articulation notes: one look-up per note-on */
  uint8_t closed;                  /* set by KR_Close: holders that outlive it (an
                                      editor view) stop using the instance */
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
/* The record behind an instance handle, or null when the handle is not one of this
 * component's (a host may hand the editor a proxy of its own). */
KorvelInstance* KR_RecordOfHandle(AudioComponentInstance unit);
/* Whether the host has closed the instance (the record may live on for its holders). */
bool KR_IsClosed(const KorvelInstance* inst);
/* Records allocated and not yet freed in this process (for leak checks). */
int KR_LiveRecordCount();
/* Counts a record the factory has just allocated. */
void KR_CountNewRecord();

/* --- Component entry and lifecycle --- */
extern "C" __attribute__((visibility("default"))) AudioComponentPlugInInterface* KorvelAUFactory(
    const AudioComponentDescription* desc);
OSStatus KR_Open(void* self, AudioComponentInstance instance);
OSStatus KR_Close(void* self);
AudioComponentMethod KR_Lookup(int16_t selector);
OSStatus KR_Init(void* self);
OSStatus KR_Uninit(void* self);
OSStatus KR_GetParam(void* self, AudioUnitParameterID param, AudioUnitScope scope,
                     AudioUnitElement elem, AudioUnitParameterValue* outValue);
OSStatus KR_SetParam(void* self, AudioUnitParameterID param, AudioUnitScope scope,
                     AudioUnitElement elem, AudioUnitParameterValue value, uint32_t offset);
OSStatus KR_Sched(void* self, const AudioUnitParameterEvent* events, uint32_t count);
OSStatus KR_AddListener(void* self, AudioUnitPropertyID prop, AudioUnitPropertyListenerProc proc,
                        void* userData);
OSStatus KR_RemoveListener(void* self, AudioUnitPropertyID prop, AudioUnitPropertyListenerProc proc);
OSStatus KR_RemoveListenerUD(void* self, AudioUnitPropertyID prop,
                             AudioUnitPropertyListenerProc proc, void* userData);
OSStatus KR_SysEx(void* self, const Byte* data, uint32_t length);

/* --- Properties and saved state --- */
OSStatus KR_GetPropertyInfo(void* self, AudioUnitPropertyID prop, AudioUnitScope scope,
                            AudioUnitElement elem, uint32_t* outDataSize, Boolean* outWritable);
OSStatus KR_GetProperty(void* self, AudioUnitPropertyID prop, AudioUnitScope scope,
                        AudioUnitElement elem, void* outData, uint32_t* ioDataSize);
OSStatus KR_SetProperty(void* self, AudioUnitPropertyID prop, AudioUnitScope scope,
                        AudioUnitElement elem, const void* inData, uint32_t inDataSize);

/* --- MIDI input (real-time thread) --- */
OSStatus KR_MIDIEvent(void* self, uint32_t status, uint32_t data1, uint32_t data2,
                      uint32_t offsetSampleFrame);
OSStatus KR_Render(void* self, AudioUnitRenderActionFlags* ioActionFlags,
                   const AudioTimeStamp* inTimeStamp, uint32_t inOutputBusNumber,
                   uint32_t inNumberFrames, AudioBufferList* ioData);
OSStatus KR_Reset(void* self, AudioUnitScope scope, AudioUnitElement elem);

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
/* Whether `note` (0..127) is one of the counted articulation notes. */
bool KR_IsKeyswitch(const KorvelInstance* inst, int32_t note);
/* Takes and empties the pending queue; returns the number of entries copied to `out`. */
int KR_DrainPending(KorvelInstance* inst, PendingEvent out[kKorvelMaxPending]);

/* --- UID registry (identity/) --- */
#include "identity/UIDRegistry.h"

/* --- Companion link (link/) --- */
void KR_WriteConnectionFile(KorvelInstance* inst);
void KR_ReadConnectionFile(KorvelInstance* inst);
void KR_CheckActiveTrack(KorvelInstance* inst);
void KR_SetupMIDIAndTimer(KorvelInstance* inst);
void KR_TeardownMIDIAndTimer(KorvelInstance* inst);
void KR_FindDestination(KorvelInstance* inst);
void KR_SendSysEx(KorvelInstance* inst, unsigned char command);
void KR_LinkTick(KorvelInstance* inst);

#endif
