// The property handlers: the only way the host and the editor reach an instance.
#include <cstring>
#include <string_view>

#include "component/CocoaViewInfo.h"
#include "component/EntryGuard.h"
#include "component/KorvelComponent.h"
#include "component/SavedState.h"
#include "identity/UIDRegistry.h"
#include "interface/CompanionProtocol.h"
#include "link/CompanionLink.h"
#include "platform/PropertyList.h"
#include "platform/UnicodeText.h"
#include "record/MIDIOutputCallback.h"

namespace {

struct PropertyInfo {
  AudioUnitPropertyID id;
  uint32_t size;
  bool writable;
};

constexpr PropertyInfo kProperties[] = {
    {kAudioUnitProperty_ClassInfo, sizeof(plist_t), true},
    {kAudioUnitProperty_StreamFormat, sizeof(AudioStreamBasicDescription), true},
    {kAudioUnitProperty_ElementCount, sizeof(uint32_t), false},
    {kAudioUnitProperty_SupportedNumChannels, sizeof(AUChannelInfo), false},
    {kAudioUnitProperty_MaximumFramesPerSlice, sizeof(uint32_t), true},
    {kAudioUnitProperty_HostCallbacks, sizeof(HostCallbackInfo), true},
    {kAudioUnitProperty_CocoaUI, sizeof(AudioUnitCocoaViewInfo), false},
    {kAudioUnitProperty_PresentPreset, sizeof(AUPreset), true},
    {kAudioUnitProperty_MIDIOutputCallbackInfo, sizeof(plist_t), false},
    {kAudioUnitProperty_MIDIOutputCallback, sizeof(AUMIDIOutputCallbackStruct), true},
    {kKorvelProperty_CCValues, sizeof(KorvelInstance::ccValues), false},
    {kKorvelProperty_UniqueID, sizeof(uint32_t), true},
    {kKorvelProperty_Connected, sizeof(uint32_t), true},
    {kKorvelProperty_TrackName, kKorvelTrackNameSize, true},
    {kKorvelProperty_ActiveArticulation, sizeof(int32_t), false},
    {kKorvelProperty_LastVelocity, sizeof(uint32_t), false},
    {kKorvelProperty_ArticulationNotes, sizeof(KorvelInstance::articulationNotes), true},
    /* the count, then the queue */
    {kKorvelProperty_PendingEvents, sizeof(uint32_t) + sizeof(KorvelInstance::pendingEvents),
     false},
    {kKorvelProperty_ActiveTrack, sizeof(uint32_t), true},
    {kKorvelProperty_CompanionCommand, sizeof(uint32_t), true},
    {kKorvelProperty_CCTriggered, sizeof(KorvelInstance::ccTriggered), false},
    {kKorvelProperty_EditorHold, sizeof(uint32_t), true},
};

const PropertyInfo* FindProperty(AudioUnitPropertyID id) {
  for (const auto& p : kProperties)
    if (p.id == id) return &p;
  return nullptr;
}

// Host-thread fields may be read and written from several host threads at once; byte-wise
// relaxed copies keep that free of data races (a racing reader may see a mix, never UB).
void LoadBytes(void* dst, const void* src, size_t n) {
  auto* d = static_cast<uint8_t*>(dst);
  auto* s = static_cast<const uint8_t*>(src);
  for (size_t i = 0; i < n; ++i) d[i] = KR_Load(s[i]);
}

void StoreBytes(void* dst, const void* src, size_t n) {
  auto* d = static_cast<uint8_t*>(dst);
  auto* s = static_cast<const uint8_t*>(src);
  for (size_t i = 0; i < n; ++i) KR_Store(d[i], s[i]);
}

template <class T>
void Put(void* out, T value) {
  std::memcpy(out, &value, sizeof value);
}

uint32_t ReadWord(const void* data) {
  uint32_t v;
  std::memcpy(&v, data, sizeof v);
  return v;
}

}  // namespace

OSStatus KR_GetPropertyInfo(void*, AudioUnitPropertyID prop, AudioUnitScope scope, AudioUnitElement,
                            uint32_t* outDataSize, Boolean* outWritable) {
  const PropertyInfo* info = FindProperty(prop);
  if (info == nullptr) return kAudioUnitErr_InvalidProperty;
  if (prop == kAudioUnitProperty_CocoaUI && scope != kAudioUnitScope_Global)
    return kAudioUnitErr_InvalidProperty;
  if (outDataSize) *outDataSize = info->size;
  if (outWritable) *outWritable = info->writable ? 1 : 0;
  return noErr;
}

namespace {

OSStatus GetProperty(void* self, AudioUnitPropertyID prop, AudioUnitScope scope, void* outData,
                     uint32_t* ioDataSize) {
  auto* inst = static_cast<KorvelInstance*>(self);
  const PropertyInfo* info = FindProperty(prop);
  if (info == nullptr) return kAudioUnitErr_InvalidProperty;
  if (KR_Load(inst->closed) && prop != kKorvelProperty_EditorHold)
    return kAudioUnitErr_InvalidProperty;
  // A buffer smaller than the value would be overrun: refuse it rather than write past it.
  if (outData == nullptr || ioDataSize == nullptr || *ioDataSize < info->size)
    return kAudioUnitErr_InvalidProperty;

  switch (prop) {
    case kAudioUnitProperty_ClassInfo:
      Put(outData, static_cast<plist_t>(KR_CopySavedState(inst)));
      return noErr;  // the size stays as the caller gave it
    case kAudioUnitProperty_StreamFormat:
      LoadBytes(outData, &inst->streamFormat, sizeof inst->streamFormat);
      *ioDataSize = sizeof(AudioStreamBasicDescription);
      return noErr;
    case kAudioUnitProperty_ElementCount:
      Put<uint32_t>(outData, 1);
      *ioDataSize = 4;
      return noErr;
    case kAudioUnitProperty_SupportedNumChannels:
      Put(outData, AUChannelInfo{1, 1});
      *ioDataSize = sizeof(AUChannelInfo);
      return noErr;
    case kAudioUnitProperty_MaximumFramesPerSlice:
      Put<uint32_t>(outData, KR_Load(inst->maxFramesPerSlice));
      *ioDataSize = 4;
      return noErr;
    case kAudioUnitProperty_CocoaUI: {
      if (scope != kAudioUnitScope_Global) return kAudioUnitErr_InvalidProperty;
      AudioUnitCocoaViewInfo viewInfo;
      if (!KorvelEditor_CopyCocoaViewInfo(&viewInfo)) return kAudioUnitErr_InvalidProperty;
      Put(outData, viewInfo);
      *ioDataSize = sizeof(AudioUnitCocoaViewInfo);
      return noErr;
    }
    case kAudioUnitProperty_PresentPreset: {
      // The name is a new string node like every object handed out here: the caller frees it.
      Put(outData, AUPreset{-1, plist_new_string("Korvel")});
      *ioDataSize = sizeof(AUPreset);
      return noErr;
    }
    case kAudioUnitProperty_MIDIOutputCallbackInfo: {
      plist_t names = plist_new_array();
      plist_array_append_item(names, plist_new_string("MIDI Out"));
      Put(outData, names);
      *ioDataSize = 8;
      return noErr;
    }
    case kKorvelProperty_CCValues:
      LoadBytes(outData, inst->ccValues, sizeof inst->ccValues);
      *ioDataSize = sizeof inst->ccValues;
      return noErr;
    case kKorvelProperty_UniqueID:
      Put<uint32_t>(outData, KR_Load(inst->uniqueID));
      *ioDataSize = 4;
      return noErr;
    case kKorvelProperty_Connected:
      Put<uint32_t>(outData, KR_Load(inst->isConnected) ? 1 : 0);
      *ioDataSize = 4;
      return noErr;
    case kKorvelProperty_TrackName: {
      char name[kKorvelTrackNameSize];
      KR_CopyTrackName(inst, name);
      std::memcpy(outData, name, sizeof name);
      *ioDataSize = sizeof name;
      return noErr;
    }
    case kKorvelProperty_ActiveArticulation:
      Put<int32_t>(outData, KR_Load(inst->activeArticulation));
      *ioDataSize = 4;
      return noErr;
    case kKorvelProperty_LastVelocity:
      Put<uint32_t>(outData, KR_Load(inst->lastVelocity));
      *ioDataSize = 4;
      return noErr;
    case kKorvelProperty_PendingEvents: {
      PendingEvent events[kKorvelMaxPending];
      const int n = KR_DrainPending(inst, events);
      Put<uint32_t>(outData, static_cast<uint32_t>(n));
      std::memcpy(static_cast<uint8_t*>(outData) + 4, events,
                  sizeof(PendingEvent) * static_cast<size_t>(n));
      *ioDataSize = 4 + 4 * static_cast<uint32_t>(n);
      return noErr;
    }
    case kKorvelProperty_ActiveTrack:
      Put<uint32_t>(outData, KR_Load(inst->isActiveTrack) ? 1 : 0);
      *ioDataSize = 4;
      return noErr;
    case kKorvelProperty_CCTriggered:
      LoadBytes(outData, inst->ccTriggered, sizeof inst->ccTriggered);
      *ioDataSize = sizeof inst->ccTriggered;
      return noErr;
    case kKorvelProperty_EditorHold:
      Put<uint32_t>(outData, KR_Load(inst->closed) ? 0 : 1);
      *ioDataSize = 4;
      return noErr;
    default:  // write-only properties
      return kAudioUnitErr_InvalidProperty;
  }
}

OSStatus SetProperty(void* self, AudioUnitPropertyID prop, const void* inData,
                     uint32_t inDataSize) {
  auto* inst = static_cast<KorvelInstance*>(self);
  if (prop == kAudioUnitProperty_SetRenderCallback) return noErr;
  const PropertyInfo* info = FindProperty(prop);
  if (info == nullptr || !info->writable) return kAudioUnitErr_InvalidProperty;
  if (inData == nullptr) return kAudioUnitErr_InvalidProperty;
  if (KR_Load(inst->closed) && prop != kKorvelProperty_EditorHold)
    return kAudioUnitErr_InvalidProperty;

  switch (prop) {
    case kAudioUnitProperty_ClassInfo: {
      if (inDataSize < sizeof(plist_t)) return kAudioUnitErr_InvalidProperty;
      plist_t state;
      std::memcpy(&state, inData, sizeof state);
      KR_RestoreSavedState(inst, state);
      return noErr;
    }
    case kAudioUnitProperty_StreamFormat:
      if (inDataSize >= sizeof(AudioStreamBasicDescription))
        StoreBytes(&inst->streamFormat, inData, sizeof(AudioStreamBasicDescription));
      return noErr;
    case kAudioUnitProperty_MaximumFramesPerSlice:
      if (inDataSize >= 4) KR_Store(inst->maxFramesPerSlice, ReadWord(inData));
      return noErr;
    case kAudioUnitProperty_HostCallbacks:
      if (inDataSize >= sizeof(HostCallbackInfo))
        StoreBytes(&inst->hostCallbacks, inData, sizeof(HostCallbackInfo));
      return noErr;
    case kAudioUnitProperty_PresentPreset:
      return noErr;
    case kAudioUnitProperty_MIDIOutputCallback:
      if (inDataSize >= sizeof(AUMIDIOutputCallbackStruct)) {
        AUMIDIOutputCallbackStruct cb;
        std::memcpy(&cb, inData, sizeof cb);
        KR_StoreMIDIOutputCallback(inst, cb);
      }
      return noErr;
    case kKorvelProperty_UniqueID:
      if (inDataSize >= 4) KR_SetUniqueIDKeepingRegistry(inst, ReadWord(inData));
      return noErr;
    case kKorvelProperty_Connected:
      if (inDataSize >= 4) {
        KR_Store(inst->isConnected, ReadWord(inData) != 0 ? 1 : 0);
        KR_WriteConnectionFile(inst);
      }
      return noErr;
    case kKorvelProperty_TrackName: {
      // A longer name is cut at the last whole character that fits, so that what the
      // instance keeps (and writes back to the companion) is still text.
      const std::string_view name(static_cast<const char*>(inData), inDataSize);
      KR_SetTrackName(inst, name.data(), korvel::UTF8PrefixLength(name, kKorvelTrackNameSize - 1));
      KR_WriteConnectionFile(inst);
      return noErr;
    }
    case kKorvelProperty_ArticulationNotes: {
      uint32_t n = inDataSize / 4;
      if (n > kKorvelMaxArticulations) n = kKorvelMaxArticulations;
      const auto* bytes = static_cast<const uint8_t*>(inData);
      int32_t notes[kKorvelMaxArticulations];
      for (uint32_t i = 0; i < n; ++i) notes[i] = static_cast<int32_t>(ReadWord(bytes + 4 * i));
      KR_StoreArticulationNotes(inst, notes, static_cast<int>(n));
      return noErr;
    }
    case kKorvelProperty_ActiveTrack:
      if (inDataSize >= 4) KR_Store(inst->isActiveTrack, ReadWord(inData) != 0 ? 1 : 0);
      return noErr;
    case kKorvelProperty_EditorHold: {
      if (inDataSize < 4) return noErr;
      std::atomic_ref<int32_t> holds(inst->editorHolds);
      if (ReadWord(inData) != 0) {
        holds.fetch_add(1);
        KR_Retain(inst);
        return noErr;
      }
      // Only a reference an editor took is given back; the last one may free the record.
      for (int32_t n = holds.load(); n > 0;) {
        if (holds.compare_exchange_weak(n, n - 1)) {
          KR_Release(inst);
          break;
        }
      }
      return noErr;
    }
    case kKorvelProperty_CompanionCommand: {
      if (inDataSize < 4) return noErr;
      const uint32_t command = ReadWord(inData);
      if (command != korvel::link::kCommandConnect && command != korvel::link::kCommandDisconnect)
        return noErr;
      if (KR_Load(inst->companionDestination) == 0) KR_FindDestination(inst);
      KR_SendSysEx(inst, static_cast<unsigned char>(command));
      return noErr;
    }
    default:
      return kAudioUnitErr_InvalidProperty;
  }
}

}  // namespace

// A call that runs out of memory answers the error before it has changed anything: the
// values a set needs are taken before the record is touched.
OSStatus KR_GetProperty(void* self, AudioUnitPropertyID prop, AudioUnitScope scope,
                        AudioUnitElement, void* outData, uint32_t* ioDataSize) {
  return KR_Guarded([&] { return GetProperty(self, prop, scope, outData, ioDataSize); });
}

OSStatus KR_SetProperty(void* self, AudioUnitPropertyID prop, AudioUnitScope, AudioUnitElement,
                        const void* inData, uint32_t inDataSize) {
  return KR_Guarded([&] { return SetProperty(self, prop, inData, inDataSize); });
}
