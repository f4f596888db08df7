// The component's front door: the exported factory, open and close, the selector table
// and the handlers that only accept a call.
#include <cstdlib>
#include <cstring>
#include <new>

#include "component/EntryGuard.h"
#include "component/KorvelComponent.h"
#include "identity/UIDRegistry.h"
#include "link/CompanionLink.h"
#include "platform/Export.h"

extern "C" KORVEL_EXPORT AudioComponentPlugInInterface* KorvelAUFactory(
    const AudioComponentDescription*) {
  auto* inst = static_cast<KorvelInstance*>(std::calloc(1, sizeof(KorvelInstance)));
  if (inst == nullptr) return nullptr;
  inst->plugInInterface.Open = KR_Open;
  inst->plugInInterface.Close = KR_Close;
  inst->plugInInterface.Lookup = KR_Lookup;
  inst->plugInInterface.reserved = nullptr;
  // The host's reference; Close gives it up, and the record is freed once the link's
  // timer and tasks have let go of it too.
  inst->retainCount = 1;
  KR_CountNewRecord();
  return &inst->plugInInterface;
}

namespace {
void OpenRecord(KorvelInstance* inst, AudioComponentInstance instance);
void CloseRecord(KorvelInstance* inst) {
  KR_TeardownMIDIAndTimer(inst);
  KR_ReleaseUID(inst, KR_Load(inst->uniqueID));
}
}  // namespace

OSStatus KR_Open(void* self, AudioComponentInstance instance) {
  auto* inst = static_cast<KorvelInstance*>(self);
  const OSStatus status = KR_Guarded([&] {
    OpenRecord(inst, instance);
    return noErr;
  });
  if (status != noErr) {
    // Out of memory part way: undo what was set up, so that nothing stays registered and
    // the host's Close finds nothing left to tear down.
    KR_Guarded([&] {
      CloseRecord(inst);
      return noErr;
    });
    KR_Store(inst->uniqueID, 0u);
  }
  return status;
}

namespace {
void OpenRecord(KorvelInstance* inst, AudioComponentInstance instance) {
  inst->componentInstance = instance;
  KR_Store(inst->maxFramesPerSlice, 1024u);
  KR_Store(inst->activeArticulation, -1);
  {
    KR_LockGuard guard(&inst->pendingLock);
    inst->pendingCount = 0;
  }
  KR_Store(inst->connectionFileTicks, 0);

  for (auto& channel : inst->ccValues)
    for (auto& value : channel) KR_Store(value, 0);
  for (auto& flag : inst->ccTriggered) KR_Store(flag, 0);
  KR_Store(inst->lastVelocity, 0u);
  KR_Store(inst->uniqueID, 0u);
  KR_Store(inst->isConnected, 0);
  KR_Store(inst->isActiveTrack, 0);
  KR_SetTrackName(inst, "", 0);
  for (auto& channel : inst->lastQueuedValue)
    for (auto& value : channel) KR_Store(value, 0xFF);
  for (auto& note : inst->articulationNotes) KR_Store(note, 0);
  KR_StoreArticulationNotes(inst, nullptr, 0);

  AudioStreamBasicDescription& f = inst->streamFormat;
  f.mSampleRate = 48000.0;
  f.mFormatID = kAudioFormatLinearPCM;
  f.mFormatFlags =
      kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked | kAudioFormatFlagIsNonInterleaved;
  f.mBytesPerPacket = 4;
  f.mFramesPerPacket = 1;
  f.mBytesPerFrame = 4;
  f.mChannelsPerFrame = 1;
  f.mBitsPerChannel = 32;
  f.mReserved = 0;

  KR_AssignFreshUID(inst);
  KR_SetupMIDIAndTimer(inst);
  KR_ReadConnectionFile(inst);
  KR_CheckActiveTrack(inst);
}
}  // namespace

OSStatus KR_Close(void* self) {
  auto* inst = static_cast<KorvelInstance*>(self);
  KR_Store(inst->closed, 1);
  // Out of memory here leaves a holder's reference behind: the record then stays
  // allocated rather than being freed under work that may still touch it.
  KR_Guarded([&] {
    CloseRecord(inst);
    return noErr;
  });
  KR_Release(inst);
  return noErr;
}

OSStatus KR_Init(void* self) {
  KR_Store(static_cast<KorvelInstance*>(self)->initialized, 1);
  return noErr;
}

OSStatus KR_Uninit(void* self) {
  KR_Store(static_cast<KorvelInstance*>(self)->initialized, 0);
  return noErr;
}

OSStatus KR_GetParam(void*, AudioUnitParameterID, AudioUnitScope, AudioUnitElement,
                     AudioUnitParameterValue* outValue) {
  if (outValue != nullptr) *outValue = 0.0f;
  return noErr;
}

OSStatus KR_SetParam(void*, AudioUnitParameterID, AudioUnitScope, AudioUnitElement,
                     AudioUnitParameterValue, uint32_t) {
  return noErr;
}

OSStatus KR_Sched(void*, const AudioUnitParameterEvent*, uint32_t) { return noErr; }

OSStatus KR_AddListener(void*, AudioUnitPropertyID, AudioUnitPropertyListenerProc, void*) {
  return noErr;
}

OSStatus KR_RemoveListener(void*, AudioUnitPropertyID, AudioUnitPropertyListenerProc) {
  return noErr;
}

OSStatus KR_RemoveListenerUD(void*, AudioUnitPropertyID, AudioUnitPropertyListenerProc, void*) {
  return noErr;
}

OSStatus KR_SysEx(void*, const Byte*, uint32_t) { return noErr; }

AudioComponentMethod KR_Lookup(int16_t selector) {
  switch (selector) {
    case kAudioUnitInitializeSelect:
      return reinterpret_cast<AudioComponentMethod>(KR_Init);
    case kAudioUnitUninitializeSelect:
      return reinterpret_cast<AudioComponentMethod>(KR_Uninit);
    case kAudioUnitGetPropertyInfoSelect:
      return reinterpret_cast<AudioComponentMethod>(KR_GetPropertyInfo);
    case kAudioUnitGetPropertySelect:
      return reinterpret_cast<AudioComponentMethod>(KR_GetProperty);
    case kAudioUnitSetPropertySelect:
      return reinterpret_cast<AudioComponentMethod>(KR_SetProperty);
    case kAudioUnitGetParameterSelect:
      return reinterpret_cast<AudioComponentMethod>(KR_GetParam);
    case kAudioUnitSetParameterSelect:
      return reinterpret_cast<AudioComponentMethod>(KR_SetParam);
    case kAudioUnitResetSelect:
      return reinterpret_cast<AudioComponentMethod>(KR_Reset);
    case kAudioUnitAddPropertyListenerSelect:
      return reinterpret_cast<AudioComponentMethod>(KR_AddListener);
    case kAudioUnitRemovePropertyListenerSelect:
      return reinterpret_cast<AudioComponentMethod>(KR_RemoveListener);
    case kAudioUnitRenderSelect:
      return reinterpret_cast<AudioComponentMethod>(KR_Render);
    case kAudioUnitScheduleParametersSelect:
      return reinterpret_cast<AudioComponentMethod>(KR_Sched);
    case kAudioUnitRemovePropertyListenerWithUserDataSelect:
      return reinterpret_cast<AudioComponentMethod>(KR_RemoveListenerUD);
    case kMusicDeviceMIDIEventSelect:
      return reinterpret_cast<AudioComponentMethod>(KR_MIDIEvent);
    case kMusicDeviceSysExSelect:
      return reinterpret_cast<AudioComponentMethod>(KR_SysEx);
    default:
      return nullptr;
  }
}
